/* Start-up: the requests to this program, the session list, the controls and keys, and the choice of view; the last part of the client script. */

var POLL_MS = 5000;      /* timer period */
var REQUEST_MS = 30000;  /* a request unanswered this long counts as no answer */
var PASS_THROUGH = ['plugin', 'node', 'pwd'];
var NAME_RULE = 'name not accepted: a session name may hold only ASCII letters, digits and - . : _ ' +
  '(1 to 160 of them, without "..")';

var pageParams = new URLSearchParams();
var curSid = '';
var curUrl = '';
var timer = null;
var inFlight = 0;     /* metrics requests out */
var viewAll = false;  /* the all-sessions view, not the card */

/* The URL of a request to this program: the page's own path, the host's
 * pass-through parameters, then the members of extra that have a value. */
function apiUrl(extra) {
  var q = new URLSearchParams();
  var i, k, v;
  for (i = 0; i < PASS_THROUGH.length; i++) {
    v = pageParams.get(PASS_THROUGH[i]);
    if (v)
      q.append(PASS_THROUGH[i], v);
  }
  for (k in extra) {
    v = extra[k];
    if (v !== undefined && v !== null && v !== '')
      q.append(k, String(v));
  }
  return window.location.pathname + '?' + q.toString();
}

/* Fetches url and reads its body as text. A request that has not been
 * answered in full within REQUEST_MS is aborted and fails like one without
 * an answer, so a stuck connection cannot hold up polling for good. */
async function request(url) {
  var ctl = new AbortController();
  var guard = setTimeout(function () { ctl.abort(); }, REQUEST_MS);
  try {
    var res = await window.fetch(url, { signal: ctl.signal });
    return { res: res, text: await res.text() };
  } finally {
    clearTimeout(guard);
  }
}

/* The metrics document in an answer's body, or null: only an object is a
 * document, not a bare number or string. */
function parseDoc(text) {
  var d = null;
  try {
    d = JSON.parse(text);
  } catch (e) {}
  return d && typeof d === 'object' ? d : null;
}

/* One metrics request for target t; resolves to {res, text}, or null when
 * no answer came. */
async function pollTarget(t, forced) {
  t.busy = true;
  inFlight++;
  try {
    return await request(apiUrl({ action: 'metrics', url: t.params.url || '',
      id: t.params.url ? '' : t.params.id, fresh: forced ? '1' : '' }));
  } catch (e) {
    return null;
  } finally {
    t.busy = false;
    inFlight--;
  }
}

/* Why the plug-in's name check refuses a session name, or '' when it
 * takes it: 1 to 160 ASCII letters, digits and "-.:_", no "..", and
 * neither "." nor "..". */
function nameRefusal(name) {
  return /^[A-Za-z0-9.:_-]{1,160}$/.test(name) && name.indexOf('..') < 0 && name !== '.' ? '' : NAME_RULE;
}

/* The card's target for the current choice: the URL override, else the
 * session, else none. */
function chooseTarget() {
  cur = curUrl ? newTarget({ url: curUrl }) : curSid ? newTarget({ id: curSid }, nameRefusal(curSid))
    : newTarget(null);
}

/* A link to this page with the parameters set replacing the target and
 * view ones; theme, embed mode and the pass-through ones stay. */
function pageLink(set) {
  var q = new URLSearchParams(window.location.search);
  var k;
  q.delete('view');
  q.delete('id');
  q.delete('url');
  for (k in set)
    q.set(k, set[k]);
  return window.location.pathname + '?' + q.toString();
}

/* Fills the selector with the list's sessions and selects curSid; returns
 * the option to pick when nothing is asked for: the first session with an
 * endpoint and a name the plug-in takes, else the first with an endpoint,
 * else the first. */
function fillSessions(sel, list) {
  var first = null;
  var withUrl = null;
  var good = null;
  var i, s, name, opt;
  sel.appendChild(new Option('Select session\u2026', ''));
  for (i = 0; i < list.length; i++) {
    s = list[i] || {};
    name = s.name == null ? '' : String(s.name);
    opt = new Option(name + (s.has_url === true ? '' : ' (no url)'), name);
    if (curSid && name === curSid)
      opt.selected = true;
    sel.appendChild(opt);
    first = first || opt;
    if (s.has_url === true) {
      withUrl = withUrl || opt;
      good = good || (nameRefusal(name) ? null : opt);
    }
  }
  return good || withUrl || first;
}

/* Fills the selector from the sessions action, once, and resolves to the
 * list (null without an answer, when the selector keeps what it had); an
 * answer without a list means no sessions. */
async function loadSessions() {
  var sel = el('sessSel');
  var d, list, opt;
  try {
    d = JSON.parse((await request(apiUrl({ action: 'sessions' }))).text);
  } catch (e) {
    return null;
  }
  list = d && Array.isArray(d.sessions) ? d.sessions : [];
  sel.textContent = '';
  if (!list.length) {
    sel.appendChild(new Option('No sessions', ''));
    return list;
  }
  opt = fillSessions(sel, list);
  if (!curSid && !curUrl) {
    opt.selected = true;
    curSid = opt.value;
  }
  if (list.filter(function (s) { return s && s.has_url === true; }).length >= 2) {
    el('allLink').href = pageLink({ view: 'all' });
    el('allLink').hidden = false;
  }
  return list;
}

/* A new target from the controls: its first failure shows at once, and
 * its status and history are its own. */
function retarget() {
  chooseTarget();
  poll(true);
}

function probeField() {
  curUrl = el('urlIn').value.trim();
  retarget();
}

/* The Refresh action: a forced poll of the card, or of every row. */
function refresh() {
  if (viewAll)
    refreshAll();
  else
    poll(true);
}

/* The Theme action: local to this page, the host is not told. */
function toggleTheme() {
  var root = document.documentElement;
  var theme = root.getAttribute('data-theme') === 'light' ? 'dark' : 'light';
  root.setAttribute('data-theme', theme);
  try {
    window.localStorage.setItem('bot_theme', theme);
  } catch (e) {}
}

/* Opens or closes the legend; open undefined switches it. */
function toggleLegend(open) {
  var legend = el('legend');
  open = open === undefined ? legend.hidden : open;
  legend.hidden = !open;
  el('btnHelp').setAttribute('aria-expanded', open ? 'true' : 'false');
}

/* Keys for the buttons, unless focus is in a field that takes text or a
 * modifier is held: r refreshes, t switches the theme (not when embedded,
 * where the host owns it), ? opens the legend and Escape closes it. */
function onKey(ev) {
  var t = ev.target;
  var tag = t && t.tagName;
  if (ev.ctrlKey || ev.metaKey || ev.altKey || ev.defaultPrevented)
    return;
  if (tag === 'INPUT' || tag === 'TEXTAREA' || tag === 'SELECT' || (t && t.isContentEditable))
    return;
  if (ev.key === 'r')
    refresh();
  else if (ev.key === 't' && !document.documentElement.classList.contains('embedded'))
    toggleTheme();
  else if (ev.key === '?')
    toggleLegend();
  else if (ev.key === 'Escape')
    toggleLegend(false);
}

function attachControls() {
  var toggle = el('themeToggle');
  el('sessSel').addEventListener('change', function () {
    curSid = el('sessSel').value;
    curUrl = '';
    el('urlIn').value = '';
    retarget();
  });
  el('btnGo').addEventListener('click', probeField);
  el('urlIn').addEventListener('keydown', function (ev) {
    if (ev.key === 'Enter')
      probeField();
  });
  el('btnRefresh').addEventListener('click', refresh);
  el('btnHelp').addEventListener('click', function () {
    toggleLegend();
  });
  el('btnBell').addEventListener('click', toggleBell);
  if (toggle)
    toggle.addEventListener('click', toggleTheme);
  document.addEventListener('keydown', onKey);
}

function visible() {
  return document.visibilityState === 'visible';
}

/* The 5-second tick of the card: the status (and the age of the last
 * answer) moves on even while a request hangs, then a poll. */
function tick() {
  if (!visible())
    return;
  if (cur.params && !cur.skip)
    updateStatus();
  poll(false);
}

function start() {
  pageParams = new URLSearchParams(window.location.search);
  curSid = pageParams.get('id') || '';
  curUrl = pageParams.get('url') || '';
  baseTitle = document.title;
  /* The page's one landmark; the markup of the column stays as it is. */
  document.querySelector('.wrap').setAttribute('role', 'main');
  histLoadAll();
  attachControls();
  showBell();
  viewAll = pageParams.get('view') === 'all';
  showStatus('loading', 'loading', '', viewAll ? 'all sessions' : '', false);
  if (viewAll) {
    startAll();
    return;
  }
  if (curUrl)
    el('urlIn').value = curUrl;
  chooseTarget();
  document.addEventListener('visibilitychange', function () {
    if (visible())
      poll(false);
  });
  loadSessions().then(function () {
    /* Nothing was asked for: the list picked a session. */
    if (!cur.params && curSid)
      chooseTarget();
    poll(false);
    timer = window.setInterval(tick, POLL_MS);
  });
}

start();
