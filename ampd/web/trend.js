// ampd's page, the trend: two graphs over the same time axis (dygraphs), the powers in dBm above,
// the pump current (mA, left) and the diode temperature (°C, right) below, filled from ampd's last
// hour and then from every reading. Both are kept on window.ampPlot (power, pump) for the page's
// tests and the browser's console; data rows are [Date, a, b].
'use strict';

(function (page) {
  const { byId, fixed2, pad2, clockText, setText } = page;

  const kHourMs = 3600 * 1000;
  // The trend keeps one point a second, as ampd's history does.
  const kPointEveryMs = 1000;
  // A longer silence between two points is drawn as a gap, not bridged by a line.
  const kGapMs = 5000;
  const kRedrawMs = 1000;
  // A shorter trend is drawn over this span, so that the time axis keeps whole seconds.
  const kShortestSpanMs = 20 * 1000;

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

  document.addEventListener('visibilitychange', () => {
    if (!document.hidden)
      redraw();
  });
  setInterval(redraw, kRedrawMs);

  Object.assign(page, { addPoint: addPoint, loadHistory: loadHistory });
})(window.ampPage);
