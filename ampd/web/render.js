// ampd's page: live readouts, the last hour's trend and the controls, all through ampd's HTTP API.
// Plain ES2017 with no build step, in four files run in order (render, trend, controls, stream),
// which share what they need on window.ampPage. ampd serves them under "Content-Security-Policy:
// default-src 'self'", so nothing here is inline, evaluated, or fetched from anywhere but ampd;
// server text only ever reaches the page as textContent.
//
// This one: what the page shows of the state, the readouts and the alarm banner.
'use strict';

(function () {
  // A reading older than this is not shown as live.
  const kFreshMs = 1000;

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

  window.ampPage = {
    byId: byId, view: view, fixed2: fixed2, pad2: pad2, clockText: clockText, setText: setText,
    renderReadouts: renderReadouts, renderAlarms: renderAlarms,
  };
})();
