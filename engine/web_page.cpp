// The three states of the page: login disabled, login form, configuration.
#include "web_page.h"

namespace engine {

static std::string page(const std::string& body, const std::string& script) {
  return R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>VELMOR Palvex</title>
<style>
body{font-family:sans-serif;max-width:40em;margin:2em auto;padding:0 1em;color:#222}
h1{font-size:1.4em} table{border-collapse:collapse} td,th{padding:.2em .8em;text-align:left}
#status{color:#b00020;min-height:1.2em} label{display:block;margin:.4em 0}
.meter{display:inline-block;width:12em;height:.8em;background:#ddd;vertical-align:middle}
.meter span{display:block;height:100%;background:#2a7;width:0}
</style></head><body>
<h1>VELMOR Palvex</h1>
)" + body +
         "\n<script>\n" + script + "\n</script>\n</body></html>\n";
}

std::string login_disabled_page() {
  return page(R"(<p id="status">Login is disabled: define SETUP_USER or ADMIN_USER</p>)", "");
}

std::string login_page() {
  return page(R"(<form id="login-form">
<label>User <input id="user" name="user" autocomplete="username" required></label>
<label>Secret <input id="secret" name="secret" type="password" autocomplete="current-password" required></label>
<button id="login" type="submit">Log in</button>
</form>
<p id="status"></p>)",
              R"(document.getElementById('login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const status = document.getElementById('status');
  try {
    const reply = await fetch('/api/login', {method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({user: document.getElementById('user').value,
                            secret: document.getElementById('secret').value})});
    const body = await reply.json();
    if (reply.ok) { location.reload(); return; }
    status.textContent = body.error || ('Error ' + reply.status);
  } catch (error) {
    status.textContent = 'Cannot reach the web server';
  }
});)");
}

std::string config_page() {
  return page(R"(<p>Gain: <b id="gain">?</b> dB</p>
<p><label>New gain (dB, -80 to 20) <input id="gain-input" type="number" min="-80" max="20" step="0.1"></label>
<button id="set-gain" type="button">Set gain</button></p>
<p id="status"></p>
<h2>Meters</h2>
<table><tr><td>Left</td><td><span class="meter"><span id="meter-left"></span></span></td><td id="peak-left"></td></tr>
<tr><td>Right</td><td><span class="meter"><span id="meter-right"></span></span></td><td id="peak-right"></td></tr></table>
<h2>Metadata</h2>
<table id="metadata"></table>
<h2>Parameters</h2>
<table id="parameters"></table>)",
              R"(const status = document.getElementById('status');
let setError = '';  // kept on show until the next set, so a refresh does not hide it
function dbfs(peak) { return peak > 0 ? 20 * Math.log10(peak) : -Infinity; }
function showMeter(side, peak) {
  const db = dbfs(peak);
  document.getElementById('peak-' + side).textContent = isFinite(db) ? db.toFixed(1) + ' dBFS' : 'silence';
  const width = isFinite(db) ? Math.max(0, Math.min(100, (db + 60) / 60 * 100)) : 0;
  document.getElementById('meter-' + side).style.width = width + '%';
}
function showPairs(id, pairs) {
  const table = document.getElementById(id);
  table.replaceChildren();
  for (const [key, value] of Object.entries(pairs || {})) {
    const row = table.insertRow();
    row.insertCell().textContent = key;
    row.insertCell().textContent = value;
  }
}
async function call(path, options) {
  const reply = await fetch(path, options);
  if (reply.status === 401) { location.reload(); throw new Error('Not logged in'); }
  const body = await reply.json();
  if (!reply.ok) throw new Error(body.error || ('Error ' + reply.status));
  return body;
}
// One refresh at a time: a slow host would otherwise pile up calls, each answering late.
let refreshing = false;
let refreshAgain = false;  // a set asked for a refresh while one ran
async function refresh() {
  if (refreshing) { refreshAgain = true; return; }
  refreshing = true;
  try {
    do {
      refreshAgain = false;
      await refreshOnce();
    } while (refreshAgain);
  } finally {
    refreshing = false;
  }
}
async function refreshOnce() {
  try {
    const tree = await call('/api/config');
    document.getElementById('gain').textContent = tree.in.gain;
    const peaks = (tree.meters && tree.meters.out_peak) || [0, 0];
    showMeter('left', peaks[0]);
    showMeter('right', peaks[1]);
    showPairs('metadata', tree.metadata);
    showPairs('parameters', tree.parameters);
    status.textContent = setError;
  } catch (error) {
    status.textContent = error.message;
  }
}
document.getElementById('set-gain').addEventListener('click', async () => {
  const text = document.getElementById('gain-input').value.trim();
  if (text === '' || !isFinite(Number(text))) {
    setError = 'Enter a gain in dB, from -80 to 20';
    status.textContent = setError;
    return;
  }
  try {
    await call('/api/set', {method: 'POST', headers: {'Content-Type': 'application/json'},
                            body: JSON.stringify({in: {gain: Number(text)}})});
    setError = '';
    await refresh();
  } catch (error) {
    setError = error.message;
    status.textContent = setError;
  }
});
refresh();
setInterval(() => { if (!refreshing) refresh(); }, 1000);)");
}

}  // namespace engine
