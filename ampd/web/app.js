// ampd's page: live readouts, the last hour's trend and the controls, all through ampd's HTTP API.
// Plain ES2017 with no build step. ampd serves it under "Content-Security-Policy: default-src
// 'self'", so nothing here is inline, evaluated, or fetched from anywhere but ampd; server text only
// ever reaches the page as textContent.
'use strict';

(function () {
  // A reading older than this is not shown as live.
  const kFreshMs = 1000;
  const kHourMs = 3600 * 1000;
  // The trend keeps one point a second, as ampd's history does.
  const kPointEveryMs = 1000;
  // A longer silence between two points is drawn as a gap, not bridged by a line.
  const kGapMs = 5000;
  const kRedrawMs = 1000;
  // A shorter trend is drawn over this span, so that the time axis keeps whole seconds.
  const kShortestSpanMs = 20 * 1000;
  const kTickMs = 200;
  // ampd sends a reading per poll (five a second) and none while the link is down: a stream without
  // one for longer is backed by asking for the state, as often.
  const kQuietMs = 600;
  const kReconnectMs = 3000;
  // The answer to a setting comes once the amplifier has confirmed it; a refused token is answered
  // after a delay that grows up to 8 s.
  const kCommandTimeoutMs = 30000;

  const byId = (id) => document.getElementById(id);

  const view = {
    state: null,        // the last state object from ampd
    lastTime: null,     // its reading's time, as ampd wrote it
    seenAt: null,       // performance.now() when a new reading time arrived (null: not seen arrive)
    streamUp: false,
    lastEventAt: 0,
    polling: false,
    lastPollAt: 0,
    alarms: [],
    alarmsShown: '',
    prefilled: false,
  };

  // ---------------------------------------------------------------------------------------------
  // Formatting

  function fixed2(v) {
    return (Math.abs(v) < 0.005 ? 0 : v).toFixed(2);
  }

  function pad2(n) {
    return (n < 10 ? '0' : '') + n;
  }

  // Local wall time; with the date when it is not today's.
  function clockText(ms) {
    const d = new Date(ms);
    const time = pad2(d.getHours()) + ':' + pad2(d.getMinutes()) + ':' + pad2(d.getSeconds());
    const today = new Date();
    if (d.toDateString() === today.toDateString())
      return time;
    return d.getFullYear() + '-' + pad2(d.getMonth() + 1) + '-' + pad2(d.getDate()) + ' ' + time;
  }

  const kUnits = { 'MAX-TEMP': ' °C', 'MIN-INPUT': ' dBm', 'MAX-OUTPUT': ' dBm', 'MAX-CURRENT': ' mA' };

  function alarmValueText(alarm) {
    if (typeof alarm.value !== 'number')
      return '';
    if (alarm.name === 'LINK')
      return 'down for ' + alarm.value.toFixed(1) + ' s';
    if (alarm.name === 'MAX-CURRENT')
      return Math.round(alarm.value) + ' mA';
    return fixed2(alarm.value) + (kUnits[alarm.name] || '');
  }

  // ---------------------------------------------------------------------------------------------
  // Readouts

  const readouts = [
    { id: 'ro-current', key: 'current_ma', text: (v) => String(Math.round(v)) },
    { id: 'ro-output-power', key: 'output_dbm', text: fixed2 },
    { id: 'ro-input-power', key: 'input_dbm', text: fixed2 },
    { id: 'ro-temperature', key: 'temperature_c', text: fixed2 },
    { id: 'ro-target-current', key: 'target_current_ma', text: (v) => String(Math.round(v)) },
    { id: 'ro-target-power', key: 'target_power_dbm', text: fixed2 },
    { id: 'ro-mode', key: 'mode', text: (v) => String(v).toUpperCase() },
    { id: 'ro-output', key: 'output', text: (v) => String(v).toUpperCase() },
  ].map((r) => {
    const box = byId(r.id);
    return Object.assign(r, { box: box, value: box.querySelector('.value'), mark: box.querySelector('.mark') });
  });
  const linkBox = byId('ro-link');
  const link = { box: linkBox, value: linkBox.querySelector('.value'), mark: linkBox.querySelector('.mark') };

  function setText(node, text) {
    if (node.textContent !== text)
      node.textContent = text;
  }

  function setFlag(node, name, on) {
    if (node.classList.contains(name) !== on)
      node.classList.toggle(name, on);
  }

  function isFresh(now) {
    const s = view.state;
    return Boolean(s && s.link === 'up' && view.streamUp && view.seenAt !== null && now - view.seenAt <= kFreshMs);
  }

  function renderReadouts(now) {
    const s = view.state;
    const fresh = isFresh(now);
    for (const r of readouts) {
      const v = s ? s[r.key] : null;
      const known = v !== null && v !== undefined;
      setText(r.value, known ? r.text(v) : '–');
      setText(r.mark, !known ? 'no reading' : fresh ? '' : 'stale');
      setFlag(r.box, 'stale', known && !fresh);
      setFlag(r.box, 'none', !known);
      if (r.key === 'output')
        setFlag(r.box, 'emitting', known && v === 'on');
    }
    // The link is ampd's own view of the line, current for as long as ampd's stream is.
    const linkUp = Boolean(view.streamUp && s && s.link === 'up');
    setText(link.value, linkUp ? 'UP' : 'DOWN');
    setText(link.mark, view.streamUp ? '' : 'no news from ampd');
    setFlag(link.box, 'down', !linkUp);

    const note = byId('freshness');
    let text;
    if (!s || !s.time) {
      text = 'No reading yet';
    } else if (fresh) {
      text = 'Live · reading of ' + clockText(Date.parse(s.time));
    } else {
      text = 'Stale · last reading ' + clockText(Date.parse(s.time));
      if (view.seenAt !== null)
        text += ' (' + Math.floor((now - view.seenAt) / 1000) + ' s ago)';
    }
    setText(note, text);
    setFlag(note, 'stale', Boolean(s && s.time) && !fresh);

    const stream = byId('stream');
    setText(stream, view.streamUp ? 'Connected to ampd' : 'No connection to ampd: trying again…');
    setFlag(stream, 'lost', !view.streamUp);
  }

  // ---------------------------------------------------------------------------------------------
  // Alarms

  function renderAlarms() {
    const shown = JSON.stringify(view.alarms);
    if (shown === view.alarmsShown)
      return;
    view.alarmsShown = shown;
    const banner = byId('alarm');
    const list = byId('alarm-list');
    list.textContent = '';
    let limit = false;
    for (const alarm of view.alarms) {
      const item = document.createElement('li');
      const name = document.createElement('strong');
      name.textContent = String(alarm.name);
      item.appendChild(name);
      item.appendChild(document.createTextNode(' ' + alarmValueText(alarm)));
      const when = Date.parse(alarm.time);
      if (!isNaN(when)) {
        item.appendChild(document.createTextNode(alarm.name === 'LINK' ? ' from ' : ' at '));
        const time = document.createElement('time');
        time.dateTime = alarm.time;
        time.textContent = clockText(when);
        item.appendChild(time);
      }
      list.appendChild(item);
      limit = limit || alarm.name !== 'LINK';
    }
    setText(byId('alarm-help'), limit
      ? 'The guard switched the output off. Output ON is refused until the alarms are cleared (Control: Clear alarms) once the cause is gone.'
      : 'ampd lost the amplifier for a while: nothing could be watched or switched off meanwhile.');
    banner.hidden = view.alarms.length === 0;
  }

  // ---------------------------------------------------------------------------------------------
  // The trend: two graphs over the same time axis, the powers in dBm above, the pump current (mA,
  // left) and the diode temperature (°C, right) below. Both are kept on window.ampPlot (power,
  // pump) for the page's tests and the browser's console; data rows are [Date, a, b].

  const plot = {
    power: null,
    pump: null,
    powerRows: [],
    pumpRows: [],
    lastT: -Infinity,
    historyLoaded: false,
    early: [],          // readings that came before the history
    dirty: false,
    short: false,       // drawn over the shortest span
  };

  function cssColour(name, fallback) {
    const value = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
    return value || fallback;
  }

  function addPoint(t, currentMa, inputDbm, outputDbm, temperatureC) {
    if (!plot.historyLoaded) {
      plot.early.push([t, currentMa, inputDbm, outputDbm, temperatureC]);
      return;
    }
    if (!(t - plot.lastT >= kPointEveryMs))
      return;
    if (t - plot.lastT > kGapMs && plot.powerRows.length) {
      const gap = new Date(plot.lastT + 1);
      plot.powerRows.push([gap, null, null]);
      plot.pumpRows.push([gap, null, null]);
    }
    const at = new Date(t);
    plot.powerRows.push([at, outputDbm, inputDbm]);
    plot.pumpRows.push([at, currentMa, temperatureC]);
    plot.lastT = t;
    let old = 0;
    while (old < plot.powerRows.length && plot.powerRows[old][0].getTime() < t - kHourMs)
      ++old;
    if (old) {
      plot.powerRows.splice(0, old);
      plot.pumpRows.splice(0, old);
    }
    plot.dirty = true;
  }

  function hoverText(x, points, unitOf) {
    let text = clockText(x);
    for (const p of points) {
      if (p.yval === null || p.yval === undefined || isNaN(p.yval))
        continue;
      const unit = unitOf(p.name);
      text += ' · ' + p.name + ' ' + (unit === 'mA' ? String(Math.round(p.yval)) : fixed2(p.yval)) + ' ' + unit;
    }
    return text;
  }

  // Ticks of whole minutes read HH:MM, of seconds HH:MM:SS, both in local time.
  function timeLabel(d, granularity) {
    const minutes = pad2(d.getHours()) + ':' + pad2(d.getMinutes());
    return granularity < Dygraph.Granularity.MINUTELY ? minutes + ':' + pad2(d.getSeconds()) : minutes;
  }

  function makeGraphs() {
    if (typeof Dygraph === 'undefined') {
      setText(byId('plot-note'), 'The trend cannot be drawn: dygraphs did not load.');
      return false;
    }
    // dygraphs' own legend writes style attributes, which the page's Content-Security-Policy refuses;
    // the captions name the series and the line under the graphs gives the values at the pointer.
    if (Dygraph.Plugins && Dygraph.Plugins.Legend)
      Dygraph.PLUGINS = Dygraph.PLUGINS.filter((p) => p !== Dygraph.Plugins.Legend);
    const note = byId('plot-note');
    const common = {
      strokeWidth: 1.5,
      connectSeparatedPoints: false,
      axisLabelFontSize: 12,
      // Lines at the ends of a range stay clear of the axes (0 dBm in would lie on the time axis).
      yRangePad: 6,
      gridLineColor: '#d8dde3',
      axes: { x: { valueFormatter: (ms) => clockText(ms), axisLabelFormatter: timeLabel, pixelsPerLabel: 70 } },
      unhighlightCallback: () => setText(note, 'Point at the graphs for the values at a time.'),
    };
    plot.pump = new Dygraph(byId('plot-pump'), plot.pumpRows, Object.assign({}, common, {
      labels: ['Time', 'Current', 'Temperature'],
      colors: [cssColour('--c-current', '#6b3fa0'), cssColour('--c-temperature', '#b35c00')],
      series: { Temperature: { axis: 'y2', strokePattern: Dygraph.DASHED_LINE } },
      ylabel: 'mA',
      y2label: '°C',
      axes: Object.assign({}, common.axes, {
        y: { axisLabelWidth: 50 },
        y2: { independentTicks: true, axisLabelWidth: 44 },
      }),
      highlightCallback: (e, x, points) =>
        setText(note, hoverText(x, points, (name) => (name === 'Current' ? 'mA' : '°C'))),
    }));
    // The two share their time axis: the upper one leaves the room of the lower one's right axis.
    const lower = plot.pump.getArea();
    plot.power = new Dygraph(byId('plot-power'), plot.powerRows, Object.assign({}, common, {
      labels: ['Time', 'Output', 'Input'],
      colors: [cssColour('--c-output', '#b3261e'), cssColour('--c-input', '#1f5fa8')],
      series: { Input: { strokePattern: Dygraph.DASHED_LINE } },
      ylabel: 'dBm',
      axes: Object.assign({}, common.axes, { y: { axisLabelWidth: 50 } }),
      rightGap: Math.max(5, byId('plot-pump').clientWidth - (lower.x + lower.w)),
      highlightCallback: (e, x, points) => setText(note, hoverText(x, points, () => 'dBm')),
    }));
    window.ampPlot = { power: plot.power, pump: plot.pump };
    setText(note, 'Point at the graphs for the values at a time.');
    return true;
  }

  function redraw() {
    if (!plot.dirty || document.hidden || !plot.powerRows.length)
      return;
    plot.dirty = false;
    if (!plot.power && !makeGraphs())
      return;
    const power = { file: plot.powerRows };
    const pump = { file: plot.pumpRows };
    // Once the trend is long enough, its span is the data's, or the operator's zoom.
    const short = plot.lastT - plot.powerRows[0][0].getTime() < kShortestSpanMs;
    if (short || plot.short) {
      power.dateWindow = pump.dateWindow = short ? [plot.lastT - kShortestSpanMs, plot.lastT] : null;
      plot.short = short;
    }
    plot.power.updateOptions(power);
    plot.pump.updateOptions(pump);
  }

  async function loadHistory() {
    try {
      const answer = await fetch('api/history', { cache: 'no-store' });
      if (!answer.ok)
        throw new Error('HTTP ' + answer.status);
      const history = await answer.json();
      plot.historyLoaded = true;
      for (const p of history.points || [])
        addPoint(p[0], p[1], p[2], p[3], p[4]);
    } catch (e) {
      plot.historyLoaded = true;
      setText(byId('plot-note'), 'The last hour could not be loaded (' + e.message + '); drawing from now on.');
    }
    const early = plot.early;
    plot.early = [];
    for (const p of early)
      addPoint(p[0], p[1], p[2], p[3], p[4]);
    redraw();
  }

  // ---------------------------------------------------------------------------------------------
  // State from ampd

  function onState(s) {
    if (!s || typeof s !== 'object')
      return;
    view.state = s;
    if (s.time && s.time !== view.lastTime) {
      view.lastTime = s.time;
      // Its age is known only from a reading that arrives while the line is up.
      view.seenAt = s.link === 'up' ? performance.now() : null;
      const t = Date.parse(s.time);
      if (!isNaN(t) && s.current_ma !== null)
        addPoint(t, s.current_ma, s.input_dbm, s.output_dbm, s.temperature_c);
    }
    view.alarms = Array.isArray(s.alarms) ? s.alarms : [];
    prefill(s);
    renderAccess();
    renderReadouts(performance.now());
    renderAlarms();
  }

  function onAlarm(alarm) {
    if (!alarm || typeof alarm.name !== 'string')
      return;
    if (!view.alarms.some((a) => a.name === alarm.name))
      view.alarms = view.alarms.concat([alarm]);
    renderAlarms();
  }

  let stream = null;

  function openStream() {
    if (stream)
      stream.close();
    const source = new EventSource('api/events');
    stream = source;
    source.addEventListener('open', () => {
      view.streamUp = true;
      view.lastEventAt = performance.now();
      renderReadouts(performance.now());
    });
    source.addEventListener('reading', (e) => {
      view.streamUp = true;
      view.lastEventAt = performance.now();
      try {
        onState(JSON.parse(e.data));
      } catch (err) {
        // A malformed event is dropped; the next one is whole.
      }
    });
    // An alarm says nothing of the link (the LINK alarm comes while it is down): the stream is
    // still quiet.
    source.addEventListener('alarm', (e) => {
      try {
        onAlarm(JSON.parse(e.data));
      } catch (err) {
        // as above
      }
    });
    source.addEventListener('error', () => {
      view.streamUp = false;
      renderReadouts(performance.now());
      // The browser tries again by itself unless the answer was no event stream at all.
      if (source.readyState === EventSource.CLOSED && stream === source) {
        source.close();
        stream = null;
        setTimeout(openStream, kReconnectMs);
      }
    });
  }

  async function pollState() {
    view.polling = true;
    view.lastPollAt = performance.now();
    try {
      const answer = await fetch('api/state', { cache: 'no-store' });
      if (answer.ok)
        onState(await answer.json());
    } catch (e) {
      // The stream's own error tells that ampd is gone.
    } finally {
      view.polling = false;
    }
  }

  function tick() {
    const now = performance.now();
    if (view.streamUp && now - view.lastEventAt > kQuietMs && !view.polling && now - view.lastPollAt > kQuietMs)
      pollState();
    renderReadouts(now);
  }

  // ---------------------------------------------------------------------------------------------
  // Controls

  const settings = byId('settings');
  const tokenInput = byId('token');
  const statusLine = byId('status');

  function token() {
    return tokenInput.value.trim();
  }

  function renderAccess() {
    const control = view.state ? view.state.control : null;
    const open = control === 'open';
    settings.disabled = !(open || token() !== '');
    byId('token-row').hidden = open;
    let text;
    if (open)
      text = 'Control is open: ampd listens on this computer only and has no token file, so no token is needed.';
    else if (token() === '')
      text = 'Enter the control token to enable the controls. Reading needs none.';
    else
      text = 'The token goes with each setting and is kept in this tab only; ampd checks it.';
    setText(byId('access'), text);

    const mode = view.state ? view.state.mode : null;
    byId('mode-acc').setAttribute('aria-pressed', String(mode === 'acc'));
    byId('mode-apc').setAttribute('aria-pressed', String(mode === 'apc'));
    const max = view.state ? view.state.max_current_ma : null;
    if (typeof max === 'number')
      byId('current-input').max = String(max);
  }

  // The boxes start with the amplifier's targets; after that they hold what the operator typed.
  function prefill(s) {
    if (view.prefilled || s.target_current_ma === null || s.target_power_dbm === null)
      return;
    view.prefilled = true;
    const current = byId('current-input');
    const power = byId('power-input');
    if (current.value === '' && document.activeElement !== current)
      current.value = String(s.target_current_ma);
    if (power.value === '' && document.activeElement !== power)
      power.value = fixed2(s.target_power_dbm);
  }

  function say(text, kind) {
    statusLine.textContent = text;
    statusLine.className = 'status' + (kind ? ' status-' + kind : '');
  }

  const kRefused = { 400: true, 401: true, 409: true, 422: true };

  async function command(what, path, body, button, done) {
    say(what + ': sending…', 'pending');
    button.setAttribute('aria-busy', 'true');
    const headers = { 'Content-Type': 'application/json' };
    if (token() !== '')
      headers.Authorization = 'Bearer ' + token();
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), kCommandTimeoutMs);
    try {
      const answer = await fetch(path, {
        method: 'POST', headers: headers, body: JSON.stringify(body), cache: 'no-store', signal: abort.signal,
      });
      let reply = null;
      try {
        reply = await answer.json();
      } catch (e) {
        reply = null;
      }
      tokenInput.setAttribute('aria-invalid', String(answer.status === 401));
      if (answer.ok && reply && reply.ok) {
        say('✓ ' + done(reply), 'ok');
      } else {
        const why = reply && typeof reply.error === 'string' ? reply.error : 'HTTP ' + answer.status;
        say('✗ ' + what + (kRefused[answer.status] ? ' refused: ' : ' failed: ') + why, 'error');
      }
    } catch (e) {
      say('✗ ' + what + ' failed: ' + (e.name === 'AbortError' ? 'no answer from ampd' : 'ampd cannot be reached'),
        'error');
    } finally {
      clearTimeout(timer);
      button.removeAttribute('aria-busy');
    }
  }

  const confirmed = (text) => () => text + ': confirmed by the amplifier';

  byId('mode-acc').addEventListener('click', (e) =>
    command('Mode ACC', 'api/mode', { mode: 'acc' }, e.currentTarget, confirmed('Mode ACC')));
  byId('mode-apc').addEventListener('click', (e) =>
    command('Mode APC', 'api/mode', { mode: 'apc' }, e.currentTarget, confirmed('Mode APC')));
  byId('output-on').addEventListener('click', (e) =>
    command('Output ON', 'api/output', { on: true }, e.currentTarget, confirmed('Output ON')));
  byId('output-off').addEventListener('click', (e) =>
    command('Output OFF', 'api/output', { on: false }, e.currentTarget, confirmed('Output OFF')));
  byId('alarm-clear').addEventListener('click', (e) =>
    command('Clear alarms', 'api/alarms/clear', {}, e.currentTarget, () => 'Alarms cleared'));

  byId('current-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const ma = byId('current-input').valueAsNumber;
    if (!isFinite(ma)) {
      say('✗ Enter the target current in mA first.', 'error');
      return;
    }
    command('Target current ' + ma + ' mA', 'api/current', { ma: ma }, byId('current-set'), (reply) =>
      'Target current ' + reply.sent + ' mA: confirmed by the amplifier'
        + (reply.clamped ? " (clamped to the amplifier's range)" : ''));
  });

  byId('power-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const dbm = byId('power-input').valueAsNumber;
    if (!isFinite(dbm)) {
      say('✗ Enter the target power in dBm first.', 'error');
      return;
    }
    command('Target power ' + fixed2(dbm) + ' dBm', 'api/power', { dbm: dbm }, byId('power-set'), (reply) =>
      'Target power ' + (typeof reply.sent === 'number' ? fixed2(reply.sent) : fixed2(dbm))
        + ' dBm: confirmed by the amplifier');
  });

  // The token is taken as it is typed; Enter in its box sends nothing anywhere.
  byId('token-row').addEventListener('submit', (e) => e.preventDefault());
  tokenInput.addEventListener('input', () => {
    tokenInput.removeAttribute('aria-invalid');
    renderAccess();
  });

  // ---------------------------------------------------------------------------------------------

  document.addEventListener('visibilitychange', () => {
    if (!document.hidden)
      redraw();
  });

  renderAccess();
  renderReadouts(performance.now());
  openStream();
  pollState().then(loadHistory);
  setInterval(tick, kTickMs);
  setInterval(redraw, kRedrawMs);
})();
