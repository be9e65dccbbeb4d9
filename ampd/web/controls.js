// ampd's page, the controls: the settings, each sent as JSON with the token when one is typed and
// answered once the amplifier has confirmed it, and the token box (the token is kept in this tab
// only, never stored).
'use strict';

(function (page) {
  const { byId, view, fixed2, setText } = page;

  // The answer to a setting comes once the amplifier has confirmed it; a refused token is answered
  // after a delay that grows up to 8 s.
  const kCommandTimeoutMs = 30000;

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

  // A setting typed in a box goes when its form is sent; without a number nothing goes.
  function onNumber(formId, inputId, missing, send) {
    byId(formId).addEventListener('submit', (e) => {
      e.preventDefault();
      const value = byId(inputId).valueAsNumber;
      if (!isFinite(value)) {
        say('✗ ' + missing, 'error');
        return;
      }
      send(value);
    });
  }

  onNumber('current-form', 'current-input', 'Enter the target current in mA first.', (ma) =>
    command('Target current ' + ma + ' mA', 'api/current', { ma: ma }, byId('current-set'), (reply) =>
      'Target current ' + reply.sent + ' mA: confirmed by the amplifier'
        + (reply.clamped ? " (clamped to the amplifier's range)" : '')));
  onNumber('power-form', 'power-input', 'Enter the target power in dBm first.', (dbm) =>
    command('Target power ' + fixed2(dbm) + ' dBm', 'api/power', { dbm: dbm }, byId('power-set'), (reply) =>
      'Target power ' + (typeof reply.sent === 'number' ? fixed2(reply.sent) : fixed2(dbm))
        + ' dBm: confirmed by the amplifier'));

  // The token is taken as it is typed; Enter in its box sends nothing anywhere.
  byId('token-row').addEventListener('submit', (e) => e.preventDefault());
  tokenInput.addEventListener('input', () => {
    tokenInput.removeAttribute('aria-invalid');
    renderAccess();
  });

  Object.assign(page, { renderAccess: renderAccess, prefill: prefill });
})(window.ampPage);
