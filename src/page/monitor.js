/* The monitor client: fills the session selector, polls the metrics of the
 * chosen session or URL every 5 seconds while the page is visible, and draws
 * each answer into the card. Text from an answer is only ever set as text. */

var POLL_MS = 5000;      /* timer period */
var STALE_S = 20;        /* a document older than this is shown as stale */
var HOLD_MS = 15000;     /* failures keep the last good card this long */
var REQUEST_MS = 30000;  /* a request unanswered this long counts as no answer */
var PASS_THROUGH = ['plugin', 'node', 'pwd'];

var pageParams = new URLSearchParams();
var curSid = '';
var curUrl = '';
var busy = false;
var lastOk = 0;
var timer = null;

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

/* Compact count: 1.2M, 2K, 999. */
function sgK(n) {
  n = Number(n) || 0;
  if (n >= 1e6)
    return (n / 1e6).toFixed(1) + 'M';
  if (n >= 1e3)
    return Math.round(n / 1e3) + 'K';
  return String(Math.round(n));
}

/* Count with en-US grouping: 1,000,000. */
function sgN(n) {
  return (Number(n) || 0).toLocaleString('en-US');
}

/* Fixed number of decimals. */
function sgF(n, d) {
  return (Number(n) || 0).toFixed(d);
}

/* A member read as a figure: missing, null, false and empty are 0, other
 * text that is not a number gives NaN, which is shown as such. */
function num(v) {
  return Number(v || 0);
}

function isNum(v) {
  return typeof v === 'number';
}

/* A fraction of 1 as a whole percentage. */
function pct(v) {
  return Math.round(num(v) * 100);
}

function el(id) {
  return document.getElementById(id);
}

function row(cls, txt) {
  var div = document.createElement('div');
  div.className = cls ? 'sg-row ' + cls : 'sg-row';
  div.textContent = txt;
  return div;
}

/* The error display: red dot, plain title, the message; the badge and the
 * time label keep what they showed. */
function renderError(d) {
  var card = el('card');
  var div = document.createElement('div');
  el('dot').className = 'dot err';
  el('title').textContent = 'SGLang Monitor';
  card.classList.remove('stale');
  div.className = 'sg-err';
  div.textContent = d && d.error ? String(d.error) : 'No SGLang metrics';
  card.appendChild(div);
  if (d && d.url)
    el('urlLbl').textContent = String(d.url);
}

/* The requests row: running and queued, and the limit when there is one. */
function rowRequests(d) {
  var running = num(d.num_running_reqs);
  var max = num(d.max_running_reqs);
  var text = 'run ' + running + '   queue ' + num(d.num_queue_reqs);
  if (max !== 0)
    text += '   max ' + max;
  return row(running > 0 ? 'sg-hot' : '', text);
}

/* The throughput row: reported generation rate and the windowed rates. */
function rowThroughput(d) {
  return row(num(d.gen_throughput) > 0 ? 'sg-hot' : '',
    'tg ' + sgF(d.gen_throughput, 1) + ' t/s   pp ' + sgF(d.pp_tok_s, 0) +
    ' t/s   gen ' + sgF(d.gen_tok_s, 0) + ' t/s');
}

/* The KV cache row and its bar, appended to card when the server reports
 * a capacity or a usage. */
function rowsKv(card, d) {
  var usage = num(d.token_usage);
  var cap = num(d.max_total_num_tokens);
  var ctx = num(d.context_len);
  var text, bar, fill, p;
  if (!(cap > 0 || usage > 0))
    return;
  p = pct(d.token_usage);
  text = 'KV  ' + sgK(d.num_used_tokens) + '/' + sgK(cap) + ' (' + p + '%)';
  if (ctx !== 0)
    text += '   ctx ' + sgK(ctx);
  card.appendChild(row('', text));
  bar = document.createElement('div');
  bar.className = 'sg-bar' + (p >= 90 ? ' full' : p >= 70 ? ' warn' : '');
  fill = document.createElement('i');
  fill.style.width = Math.min(100, Math.max(0, p || 0)) + '%';
  bar.appendChild(fill);
  card.appendChild(bar);
}

/* The prefix cache row, or null when neither hit rate is a number. */
function rowCache(d) {
  var text;
  if (!isNum(d.cache_hit_rate) && !isNum(d.cache_hit_rate_lifetime))
    return null;
  text = 'cache ' + (isNum(d.cache_hit_rate) ? pct(d.cache_hit_rate) + '%' : '\u2014');
  if (isNum(d.cache_hit_rate_lifetime))
    text += ' (life ' + pct(d.cache_hit_rate_lifetime) + '%)';
  return row('', text);
}

/* The speculative decoding row, or null when it is off. */
function rowSpec(d) {
  var text;
  if (!d.spec_algo && !isNum(d.spec_accept_length))
    return null;
  text = 'spec ' + (d.spec_algo ? String(d.spec_algo) : 'on');
  if (isNum(d.spec_accept_length))
    text += '   len ' + sgF(d.spec_accept_length, 2);
  if (isNum(d.spec_accept_rate))
    text += '   acc ' + pct(d.spec_accept_rate) + '%';
  return row('', text);
}

/* The latency row from the means present, or null when there are none. */
function rowLatency(d) {
  var lat = [];
  if (isNum(d.itl_ms))
    lat.push('itl ' + sgF(d.itl_ms, 1) + ' ms');
  if (isNum(d.ttft_ms))
    lat.push('ttft ' + sgF(d.ttft_ms, 0) + ' ms');
  if (isNum(d.queue_ms))
    lat.push('queue ' + sgF(d.queue_ms, 0) + ' ms');
  return lat.length ? row('sg-dim', lat.join('   ')) : null;
}

/* The totals row, or null while every total is zero. */
function rowTotals(d) {
  var totals = [num(d.requests_total), num(d.prompt_tokens_total),
                num(d.generation_tokens_total)];
  if (totals[0] === 0 && totals[1] === 0 && totals[2] === 0)
    return null;
  return row('sg-dim', 'reqs ' + sgN(totals[0]) + '   prompt ' +
    sgK(totals[1]) + '   gen ' + sgK(totals[2]));
}

/* Appends the card rows of one metrics document, in their fixed order. */
function renderRows(card, d) {
  var rows, i;
  card.appendChild(rowRequests(d));
  card.appendChild(rowThroughput(d));
  rowsKv(card, d);
  rows = [rowCache(d), rowSpec(d), rowLatency(d), rowTotals(d)];
  for (i = 0; i < rows.length; i++) {
    if (rows[i])
      card.appendChild(rows[i]);
  }
}

/* Draws one answer: the error display for a missing or failed document,
 * otherwise the metrics display, live or stale by the document's age. */
function render(d) {
  var card = el('card');
  var badge = el('srcBadge');
  var age = 0;
  var stale, model;

  card.textContent = '';
  if (!d || d.error) {
    renderError(d);
    return;
  }
  if (isNum(d.updated_epoch))
    age = Math.max(0, Math.floor(Date.now() / 1000) - d.updated_epoch);
  stale = age > STALE_S;
  el('dot').className = stale ? 'dot stale' : 'dot live';
  card.classList.toggle('stale', stale);

  model = String(d.model || '');
  model = model.slice(model.lastIndexOf('/') + 1) || 'SGLang';
  el('title').textContent = 'SGLang \u00b7 ' + model + (stale ? ' (stale)' : '');

  if (d.source) {
    badge.style.display = '';
    badge.textContent = d.source === 'query' ? 'URL'
      : curSid || (d.session ? String(d.session) : '') || 'session';
  }

  renderRows(card, d);
  el('urlLbl').textContent = d.url ? String(d.url) : '';
  el('tsLbl').textContent = 'updated ' + new Date().toLocaleTimeString();
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

/* One metrics request for the current target. A poll asked for while
 * another is in flight is dropped. Failures keep the last good card for
 * HOLD_MS unless the poll was forced. */
async function poll(fresh) {
  var got, res, d, failed, target, moved = false;
  if (busy)
    return;
  if (!curUrl && !curSid) {
    render({ error: 'Pick a session above or enter an SGLang server URL.' });
    return;
  }
  busy = true;
  target = targetKey();
  try {
    got = await request(apiUrl({
      action: 'metrics',
      url: curUrl || '',
      id: curUrl ? '' : curSid,
      fresh: fresh ? '1' : ''
    }));
    /* The user chose another target meanwhile: this answer is not its. */
    if (targetKey() !== target) {
      moved = true;
      return;
    }
    res = got.res;
    d = null;
    try {
      d = JSON.parse(got.text);
    } catch (e) {}
    /* Only an object is a document; a bare number or string is not. */
    if (!d || typeof d !== 'object')
      d = null;
    failed = !res.ok || !d || d.error;
    if (!failed) {
      lastOk = Date.now();
      render(d);
    } else if (!lastOk || fresh || Date.now() - lastOk > HOLD_MS) {
      /* A failed status without an error member is reported by its status
       * rather than drawn as a live card. */
      render(d && d.error ? d : { error: 'HTTP ' + res.status });
    }
  } catch (e) {
    if (targetKey() !== target)
      moved = true;
    else if (!lastOk)
      render({ error: 'Network error polling SGLang metrics' });
  } finally {
    busy = false;
    /* The forced poll of the new target was dropped while this one was
     * in flight: make it now. */
    if (moved)
      poll(true);
  }
}

/* What the polls are about: the URL override, else the session. */
function targetKey() {
  return curUrl ? 'url ' + curUrl : 'id ' + curSid;
}

/* Fills the selector from the sessions action, once. Without an answer the
 * selector keeps what it had; an answer without a list means no sessions. */
async function loadSessions() {
  var sel = el('sessSel');
  var d, list, i, s, name, opt, first, withUrl;
  try {
    d = JSON.parse((await request(apiUrl({ action: 'sessions' }))).text);
  } catch (e) {
    return;
  }
  list = d && Array.isArray(d.sessions) ? d.sessions : [];
  sel.textContent = '';
  if (!list.length) {
    sel.appendChild(new Option('No sessions', ''));
    return;
  }
  sel.appendChild(new Option('Select session\u2026', ''));
  first = null;
  withUrl = null;
  for (i = 0; i < list.length; i++) {
    s = list[i] || {};
    name = s.name == null ? '' : String(s.name);
    opt = new Option(name + (s.has_url === true ? '' : ' (no url)'), name);
    if (curSid && name === curSid)
      opt.selected = true;
    sel.appendChild(opt);
    if (!first)
      first = opt;
    if (!withUrl && s.has_url === true)
      withUrl = opt;
  }
  /* Nothing asked for: the first session with an endpoint, else the first. */
  if (!curSid && !curUrl) {
    opt = withUrl || first;
    opt.selected = true;
    curSid = opt.value;
  }
}

/* A new target: the first failure for it shows at once. */
function probeField() {
  curUrl = el('urlIn').value.trim();
  lastOk = 0;
  poll(true);
}

function attachControls() {
  var toggle = el('themeToggle');
  el('sessSel').addEventListener('change', function () {
    curSid = el('sessSel').value;
    curUrl = '';
    el('urlIn').value = '';
    lastOk = 0;
    poll(true);
  });
  el('btnGo').addEventListener('click', probeField);
  el('urlIn').addEventListener('keydown', function (ev) {
    if (ev.key === 'Enter')
      probeField();
  });
  el('btnRefresh').addEventListener('click', function () {
    poll(true);
  });
  /* The toggle is local to this page: the host is not told. */
  if (toggle) {
    toggle.addEventListener('click', function () {
      var root = document.documentElement;
      var theme = root.getAttribute('data-theme') === 'light' ? 'dark' : 'light';
      root.setAttribute('data-theme', theme);
      try {
        window.localStorage.setItem('bot_theme', theme);
      } catch (e) {}
    });
  }
}

function visible() {
  return document.visibilityState === 'visible';
}

function start() {
  pageParams = new URLSearchParams(window.location.search);
  curSid = pageParams.get('id') || '';
  curUrl = pageParams.get('url') || '';
  attachControls();
  if (curUrl)
    el('urlIn').value = curUrl;
  document.addEventListener('visibilitychange', function () {
    if (visible())
      poll(false);
  });
  loadSessions().then(function () {
    poll(false);
    timer = window.setInterval(function () {
      if (visible())
        poll(false);
    }, POLL_MS);
  });
}

start();
