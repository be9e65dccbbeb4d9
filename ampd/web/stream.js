// ampd's page, the stream: ampd's events (EventSource) carry every reading and alarm; a quiet
// stream is backed by asking for the state, and the readouts turn stale as readings stop coming.
// It runs last and starts the page.
'use strict';

(function (page) {
  const { view, renderReadouts, renderAlarms, addPoint, loadHistory, renderAccess, prefill } = page;

  const kTickMs = 200;
  // ampd sends a reading per poll (five a second) and none while the link is down: a stream without
  // one for longer is backed by asking for the state, as often.
  const kQuietMs = 600;
  const kReconnectMs = 3000;

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

  renderAccess();
  renderReadouts(performance.now());
  openStream();
  pollState().then(loadHistory);
  setInterval(tick, kTickMs);
})(window.ampPage);
