/* The monitor client: fills the session selector, polls the metrics of the
 * chosen session or URL every 5 seconds while the page is visible, and draws
 * each answer into the card. Text from an answer is only ever set as text. */

var POLL_MS = 5000;      /* timer period */
var STALE_S = 20;        /* a document older than this is shown as stale */
var HOLD_MS = 15000;     /* failures keep the last good card this long */
var REQUEST_MS = 30000;  /* a request unanswered this long counts as no answer */
var PASS_THROUGH = ['plugin', 'node', 'pwd'];
var RESTART_MS = 60000;  /* a restart is shown this long */
var HISTORY_MS = 600000; /* each target keeps this much history */
var GAP_MS = 12500;      /* points further apart than this are not joined */
var MAX_TARGETS = 64;    /* histories kept at most */
var MAX_FLIGHT = 4;      /* requests in flight at most in the all-sessions view */
var STORE_PREFIX = 'qv_hist ';
var DASH = '\u2014';
/* The status words, the one that wins first when several apply. */
var STATUS_ORDER = ['error', 'stalled', 'restarted', 'retrying', 'stale', 'live', 'loading'];

var pageParams = new URLSearchParams();
var curSid = '';
var curUrl = '';
var busy = false;
var lastOk = 0;
var timer = null;
var baseTitle = '';
var track = newTracker();  /* what the polls of the current target showed */
var announced = '';        /* the status last announced */
var hist = {};             /* target key -> its history, as stored */
var allRows = [];          /* the all-sessions view's rows */
var allNext = 0;           /* the row the next slot polls */
var inFlight = 0;          /* requests in flight in the all-sessions view */

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

/* Whether the document leaves a figure out: such a figure is unknown and
 * drawn as a dash, never as 0. */
function absent(v) {
  return v === undefined || v === null;
}

/* A figure written by fmt, or the dash when the document leaves it out. */
function fig(v, fmt) {
  return absent(v) ? DASH : fmt(v);
}

/* A rate with d decimals; a negative one (counters that went back, as
 * after a restart) is as unknown as a missing one. */
function rate(v, d) {
  return absent(v) || (isNum(v) && v < 0) ? DASH : sgF(v, d);
}

/* A finite number for the history, rounded to dec decimals, or null. */
function point(v, dec) {
  var f = Math.pow(10, dec);
  return isNum(v) && isFinite(v) ? Math.round(v * f) / f : null;
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

/* Points node at the legend entries ids: screen readers read them as its
 * description, and pointing at it shows them as a tooltip. */
function explain(node, ids) {
  var lines = [];
  var i, dd;
  for (i = 0; i < ids.length; i++) {
    dd = el(ids[i]);
    if (dd)
      lines.push(dd.previousElementSibling.textContent + ': ' + dd.textContent);
  }
  node.setAttribute('aria-describedby', ids.join(' '));
  node.title = lines.join('\n');
  return node;
}

/* The local time of day of a time in milliseconds. */
function clock(ms) {
  return new Date(ms).toLocaleTimeString();
}

/* The status state of one target: what its polls showed and what they
 * tell together (stalled, restarted, failing). */
function newTracker() {
  return { shown: 'loading', stale: false, failing: false, lastOk: 0, prev: null,
    queueRun: 0, tokenRun: 0, stall: '', restartAt: 0 };
}

/* Whether a total went down from one document to the next. */
function fell(a, b) {
  return isNum(a) && isNum(b) && b < a;
}

/* Takes one good document into the tracker: a restart when the document
 * says so or a total went down; stalled when requests queued with none
 * running in two polls in a row, or requests ran while the generated-token
 * total stood still over three polls. A document served again from the
 * cache (same probe time) is no new observation. */
function observe(t, d) {
  var p = t.prev;
  var running = d.num_running_reqs;
  var gen = d.generation_tokens_total;
  if (p && isNum(d.updated_epoch) && d.updated_epoch === p.updated_epoch)
    return;
  if (d.restarted === true || (p && (fell(p.requests_total, d.requests_total) ||
      fell(p.prompt_tokens_total, d.prompt_tokens_total) || fell(p.generation_tokens_total, gen)))) {
    t.restartAt = Date.now();
    t.tokenRun = 0;
  }
  t.queueRun = num(d.num_queue_reqs) > 0 && running === 0 ? t.queueRun + 1 : 0;
  if (isNum(running) && running > 0 && isNum(gen))
    t.tokenRun = p && t.tokenRun > 0 && p.generation_tokens_total === gen ? t.tokenRun + 1 : 1;
  else
    t.tokenRun = 0;
  t.stall = t.queueRun >= 2 ? 'queue' : t.tokenRun >= 3 ? 'tokens' : '';
  t.prev = d;
}

/* The one status word of a tracker. */
function statusOf(t) {
  if (t.shown !== 'doc')
    return t.shown;
  if (t.stall)
    return 'stalled';
  if (t.restartAt && Date.now() - t.restartAt < RESTART_MS)
    return 'restarted';
  if (t.failing)
    return 'retrying';
  return t.stale ? 'stale' : 'live';
}

/* The status word, the dot class and the tab title for the word, and one
 * announcement when it changed. */
function showStatus(word, why) {
  var w = el('statusWord');
  w.textContent = word;
  w.className = 'status st-' + word;
  document.title = word + ' \u00b7 ' + baseTitle;
  if (word !== announced && word !== 'loading')
    el('announce').textContent = 'Status ' + word + (why ? ': ' + why : '');
  announced = word;
}

/* Why the card's target has its status, in words, or ''. */
function stallText(t) {
  var d = t.prev || {};
  if (t.stall === 'queue')
    return 'stalled: ' + num(d.num_queue_reqs) + ' requests queued, none running';
  if (t.stall === 'tokens')
    return 'stalled: ' + num(d.num_running_reqs) + ' requests running, no token generated in ' +
      t.tokenRun + ' polls';
  return '';
}

/* Refreshes the status of the single card after a render or a held
 * failure; while polls fail, the footer says so. */
function updateStatus() {
  var word = statusOf(track);
  var why = '';
  if (word === 'stalled')
    why = stallText(track).replace(/^stalled: /, '');
  else if (word === 'error')
    why = [].map.call(el('card').children, function (c) { return c.textContent; }).join(': ');
  else if (word === 'retrying')
    why = 'polls fail';
  if (track.failing && track.shown === 'doc')
    el('tsLbl').textContent = 'polls failing \u00b7 last answer ' +
      Math.round((Date.now() - lastOk) / 1000) + ' s ago';
  showStatus(word, why);
}

/* The error display: red dot, plain title, the message and, when the
 * answer gives one, the reason on a line of its own; the badge and the
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
  if (d && d.detail) {
    div = document.createElement('div');
    div.className = 'sg-detail';
    div.textContent = String(d.detail);
    card.appendChild(div);
  }
  if (d && d.url)
    el('urlLbl').textContent = String(d.url);
}

/* The requests row: running and queued, and the limit when there is one. */
function rowRequests(d) {
  var running = num(d.num_running_reqs);
  var max = num(d.max_running_reqs);
  var text = 'run ' + fig(d.num_running_reqs, num) + '   queue ' + fig(d.num_queue_reqs, num);
  var ids = ['lg-run', 'lg-queue'];
  if (max !== 0) {
    text += '   max ' + max;
    ids.push('lg-max');
  }
  return explain(row(running > 0 ? 'sg-hot' : '', text), ids);
}

/* The throughput row: reported generation rate and the windowed rates. */
function rowThroughput(d) {
  return explain(row(num(d.gen_throughput) > 0 ? 'sg-hot' : '',
    'tg ' + rate(d.gen_throughput, 1) + ' t/s   pp ' + rate(d.pp_tok_s, 0) +
    ' t/s   gen ' + rate(d.gen_tok_s, 0) + ' t/s'), ['lg-tg', 'lg-pp', 'lg-gen']);
}

/* The KV cache row and its bar, appended to card when the server reports
 * a capacity or a usage. Without a usage there is no bar. */
function rowsKv(card, d) {
  var usage = num(d.token_usage);
  var cap = num(d.max_total_num_tokens);
  var ctx = num(d.context_len);
  var ids = ['lg-kv'];
  var text, bar, fill, p;
  if (!(cap > 0 || usage > 0))
    return;
  p = pct(d.token_usage);
  text = 'KV  ' + fig(d.num_used_tokens, sgK) + '/' + fig(d.max_total_num_tokens, sgK) +
    ' (' + (absent(d.token_usage) ? DASH : p) + '%)';
  if (ctx !== 0) {
    text += '   ctx ' + sgK(ctx);
    ids.push('lg-ctx');
  }
  card.appendChild(explain(row('', text), ids));
  if (absent(d.token_usage))
    return;
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
  text = 'cache ' + (isNum(d.cache_hit_rate) ? pct(d.cache_hit_rate) + '%' : DASH);
  if (isNum(d.cache_hit_rate_lifetime))
    text += ' (life ' + pct(d.cache_hit_rate_lifetime) + '%)';
  return explain(row('', text), ['lg-cache', 'lg-life']);
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
  return explain(row('', text), ['lg-spec', 'lg-len', 'lg-acc']);
}

/* One latency figure: its percentiles when the document has them, else its
 * mean, else ''. */
function latency(d, key, name, dec) {
  var p50 = d[key + '_p50_ms'];
  var p95 = d[key + '_p95_ms'];
  var text = name;
  if (!isNum(p50) && !isNum(p95))
    return isNum(d[key + '_ms']) ? name + ' ' + sgF(d[key + '_ms'], dec) + ' ms' : '';
  if (isNum(p50))
    text += ' p50 ' + sgF(p50, dec) + ' ms';
  if (isNum(p95))
    text += ' p95 ' + sgF(p95, dec) + ' ms';
  return text;
}

/* The latency row, or null when the document has no latency. With
 * percentiles it also says what span the figures cover. */
function rowLatency(d) {
  var parts = [latency(d, 'itl', 'itl', 1), latency(d, 'ttft', 'ttft', 0),
               latency(d, 'queue', 'queue', 0)];
  var names = ['lg-itl', 'lg-ttft', 'lg-qtime'];
  var lat = [];
  var ids = [];
  var pcts = false;
  var i;
  for (i = 0; i < parts.length; i++) {
    if (parts[i]) {
      lat.push(parts[i]);
      ids.push(names[i]);
      pcts = pcts || parts[i].indexOf(' p50 ') > 0 || parts[i].indexOf(' p95 ') > 0;
    }
  }
  if (!lat.length)
    return null;
  /* The span goes first, where a narrow card does not cut it off. */
  if (pcts) {
    ids.push('lg-pct');
    if (d.lifetime === true)
      lat.unshift('since start');
    else if (isNum(d.window_s))
      lat.unshift('last ' + Math.round(d.window_s) + ' s');
    if (d.lifetime === true || isNum(d.window_s))
      ids.push('lg-window');
  }
  return explain(row('sg-dim', lat.join('   ')), ids);
}

/* The totals row, or null while every total is zero. */
function rowTotals(d) {
  var totals = [num(d.requests_total), num(d.prompt_tokens_total),
                num(d.generation_tokens_total)];
  if (totals[0] === 0 && totals[1] === 0 && totals[2] === 0)
    return null;
  return explain(row('sg-dim', 'reqs ' + fig(d.requests_total, sgN) + '   prompt ' +
    fig(d.prompt_tokens_total, sgK) + '   gen ' + fig(d.generation_tokens_total, sgK)),
    ['lg-reqs', 'lg-prompt', 'lg-gentot']);
}

/* The hint for a server without its metrics page: none of the figures
 * that only that page gives is in the document. */
function rowHint(d) {
  var keys = ['requests_total', 'prompt_tokens_total', 'generation_tokens_total',
              'itl_ms', 'ttft_ms', 'queue_ms', 'pp_tok_s', 'gen_tok_s'];
  var i;
  for (i = 0; i < keys.length; i++) {
    if (!absent(d[keys[i]]))
      return null;
  }
  return row('sg-hint', 'No rates, latencies or totals: start SGLang with --enable-metrics');
}

/* The rows that say why the status is stalled or restarted. */
function rowsNotes(card) {
  var text = stallText(track);
  if (text)
    card.appendChild(row('sg-note', text));
  if (track.restartAt && Date.now() - track.restartAt < RESTART_MS)
    card.appendChild(row('sg-note', 'restarted at ' + clock(track.restartAt) +
      ': totals start again from zero'));
}

/* Appends the card rows of one metrics document, in their fixed order. */
function renderRows(card, d) {
  var rows, i;
  card.appendChild(rowRequests(d));
  card.appendChild(rowThroughput(d));
  rowsKv(card, d);
  rows = [rowCache(d), rowSpec(d), rowLatency(d), rowTotals(d), rowHint(d)];
  for (i = 0; i < rows.length; i++) {
    if (rows[i])
      card.appendChild(rows[i]);
  }
}

/* The age of a document in whole seconds, from its probe time. */
function docAge(d) {
  return isNum(d.updated_epoch) ? Math.max(0, Math.floor(Date.now() / 1000) - d.updated_epoch) : 0;
}

/* The header of the metrics display: dot, fading, title and badge. */
function renderHead(d) {
  var badge = el('srcBadge');
  var stale = docAge(d) > STALE_S;
  var model;
  track.stale = stale;
  el('dot').className = track.stall ? 'dot stalled' : stale ? 'dot stale' : 'dot live';
  el('card').classList.toggle('stale', stale);

  model = String(d.model || '');
  model = model.slice(model.lastIndexOf('/') + 1) || 'SGLang';
  el('title').textContent = 'SGLang \u00b7 ' + model + (stale ? ' (stale)' : '');

  if (d.source) {
    badge.style.display = '';
    badge.textContent = d.source === 'query' ? 'URL'
      : curSid || (d.session ? String(d.session) : '') || 'session';
  }
}

/* Draws one answer: the error display for a missing or failed document,
 * otherwise the metrics display, live or stale by the document's age. */
function render(d) {
  var card = el('card');
  card.textContent = '';
  if (!d || d.error) {
    track.shown = 'error';
    renderError(d);
    updateStatus();
    return;
  }
  track.shown = 'doc';
  renderHead(d);
  rowsNotes(card);
  renderRows(card, d);
  renderSparks(card, histOf(targetKey()));
  el('urlLbl').textContent = d.url ? String(d.url) : '';
  el('tsLbl').textContent = 'updated ' + clock(Date.now());
  updateStatus();
}

/* The history of a target: {url, u (last change), p (points)}, each point
 * [time, generation t/s, running, queued, KV usage, ttft ms] or [time] for
 * a poll that failed. Read from session storage the first time. */
function histOf(key) {
  var h = hist[key];
  if (h)
    return h;
  try {
    h = JSON.parse(window.sessionStorage.getItem(STORE_PREFIX + key));
  } catch (e) {
    h = null;
  }
  if (!h || typeof h !== 'object' || !Array.isArray(h.p))
    h = { url: '', u: 0, p: [] };
  hist[key] = h;
  return h;
}

/* Reads every history that session storage holds, so that memory and
 * storage hold the same ones. */
function histLoadAll() {
  var keys = [];
  var i, k;
  try {
    for (i = 0; i < window.sessionStorage.length; i++) {
      k = window.sessionStorage.key(i);
      if (k && k.indexOf(STORE_PREFIX) === 0)
        keys.push(k.slice(STORE_PREFIX.length));
    }
  } catch (e) {}
  for (i = 0; i < keys.length; i++)
    histOf(keys[i]);
}

/* Keeps MAX_TARGETS histories at most, in memory and in storage: the ones
 * changed last stay. */
function histPrune() {
  var keys = Object.keys(hist);
  var i;
  keys.sort(function (a, b) { return (hist[b].u || 0) - (hist[a].u || 0); });
  for (i = MAX_TARGETS; i < keys.length; i++) {
    delete hist[keys[i]];
    try {
      window.sessionStorage.removeItem(STORE_PREFIX + keys[i]);
    } catch (e) {}
  }
}

/* Adds one poll's outcome to the target's history (d null: a failed poll,
 * drawn as a gap), drops what is older than HISTORY_MS and mirrors it to
 * session storage. A document for another server starts a new history. */
function remember(key, d) {
  var fresh = !hist[key];
  var h = histOf(key);
  var now = Date.now();
  var gen;
  if (d) {
    if (d.url && h.url && String(d.url) !== h.url)
      h.p = [];
    if (d.url)
      h.url = String(d.url);
    gen = isNum(d.gen_throughput) && d.gen_throughput >= 0 ? d.gen_throughput
      : isNum(d.gen_tok_s) && d.gen_tok_s >= 0 ? d.gen_tok_s : null;
    h.p.push([now, point(gen, 1), point(d.num_running_reqs, 0), point(d.num_queue_reqs, 0),
      point(d.token_usage, 3), point(isNum(d.ttft_p50_ms) ? d.ttft_p50_ms : d.ttft_ms, 1)]);
  } else {
    h.p.push([now]);
  }
  while (h.p.length && !(h.p[0][0] > now - HISTORY_MS))
    h.p.shift();
  h.u = now;
  try {
    window.sessionStorage.setItem(STORE_PREFIX + key, JSON.stringify(h));
  } catch (e) {}
  if (fresh)
    histPrune();
}

var SVG_NS = 'http://www.w3.org/2000/svg';
var SPARK_W = 100;
var SPARK_H = 24;

/* The path of one series: a line through the points that have a value,
 * broken at failed polls and wherever the points lie far apart. */
function sparkPath(pts, idx, t0, span, top) {
  var d = '';
  var joined = false;
  var last = 0;
  var i, v, x, y;
  for (i = 0; i < pts.length; i++) {
    v = pts[i][idx];
    if (v === null || v === undefined || pts[i][0] - last > GAP_MS)
      joined = false;
    if (v !== null && v !== undefined) {
      x = (pts[i][0] - t0) / span * SPARK_W;
      y = SPARK_H - 1 - Math.max(0, v) / top * (SPARK_H - 2);
      d += (joined ? 'L' : 'M') + x.toFixed(1) + ' ' + y.toFixed(1) + (joined ? '' : 'h0.01');
      joined = true;
    }
    last = pts[i][0];
  }
  return d;
}

/* A sparkline of history h for the series idxs (several lines share the
 * scale), as an svg element; fmt writes a value for the readout. Pointing
 * at it shows the value nearest the pointer and its time in readout. */
function sparkSvg(h, idxs, label, fmt, readout) {
  var svg = document.createElementNS(SVG_NS, 'svg');
  var pts = h.p;
  var now = Date.now();
  var t0 = pts.length ? Math.max(pts[0][0], now - HISTORY_MS) : now;
  var span = Math.max(now - t0, 60000);
  var top = 0;
  var i, j, path;
  for (i = 0; i < pts.length; i++) {
    for (j = 0; j < idxs.length; j++)
      top = Math.max(top, pts[i][idxs[j]] || 0);
  }
  top = top || 1;
  svg.setAttribute('viewBox', '0 0 ' + SPARK_W + ' ' + SPARK_H);
  svg.setAttribute('preserveAspectRatio', 'none');
  svg.setAttribute('class', 'spark');
  svg.setAttribute('role', 'img');
  svg.setAttribute('aria-label', label + ', last 10 minutes');
  for (j = 0; j < idxs.length; j++) {
    path = document.createElementNS(SVG_NS, 'path');
    path.setAttribute('d', sparkPath(pts, idxs[j], t0, span, top));
    path.setAttribute('class', 'sp' + j);
    svg.appendChild(path);
  }
  if (readout) {
    svg.addEventListener('pointermove', function (ev) {
      var box = svg.getBoundingClientRect();
      var t = t0 + (ev.clientX - box.left) / (box.width || 1) * span;
      var best = null;
      for (i = 0; i < pts.length; i++) {
        if (pts[i].length > 1 && (!best || Math.abs(pts[i][0] - t) < Math.abs(best[0] - t)))
          best = pts[i];
      }
      if (best)
        readout.textContent = fmt(best) + ' at ' + clock(best[0]);
    });
    svg.addEventListener('pointerleave', function () {
      readout.textContent = latestText(pts, fmt);
    });
  }
  return svg;
}

/* The readout of the newest point that has values, or the dash. */
function latestText(pts, fmt) {
  var i;
  for (i = pts.length - 1; i >= 0; i--) {
    if (pts[i].length > 1)
      return fmt(pts[i]);
  }
  return DASH;
}

function sparkVal(v, dec, unit) {
  return v === null || v === undefined ? DASH : v.toFixed(dec) + unit;
}

/* The card's sparklines, each a block of its own under the rows, once the
 * history holds two points. */
function renderSparks(card, h) {
  var specs = [
    ['generation', 'generation throughput', [1], function (p) { return sparkVal(p[1], 1, ' t/s'); }],
    ['run / queue', 'running and queued requests', [2, 3], function (p) {
      return sparkVal(p[2], 0, '') + ' / ' + sparkVal(p[3], 0, ''); }],
    ['KV', 'KV cache usage', [4], function (p) { return sparkVal(p[4] === null ? null : p[4] * 100, 0, '%'); }],
    ['ttft', 'time to first token', [5], function (p) { return sparkVal(p[5], 0, ' ms'); }],
  ];
  var box, i, item, lbl, val;
  if (h.p.length < 2)
    return;
  box = document.createElement('div');
  box.className = 'sg-sparks';
  for (i = 0; i < specs.length; i++) {
    item = document.createElement('div');
    item.className = 'sg-spark';
    lbl = document.createElement('span');
    lbl.className = 'sp-lbl';
    lbl.textContent = specs[i][0];
    val = document.createElement('span');
    val.className = 'sp-val';
    val.textContent = latestText(h.p, specs[i][3]);
    item.appendChild(lbl);
    item.appendChild(sparkSvg(h, specs[i][2], specs[i][1], specs[i][3], val));
    item.appendChild(val);
    box.appendChild(item);
  }
  card.appendChild(box);
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

/* A failed poll that keeps the last good card: the status says retrying. */
function holdFailure() {
  track.failing = true;
  updateStatus();
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
    d = parseDoc(got.text);
    failed = !res.ok || !d || d.error;
    remember(target, failed ? null : d);
    if (!failed) {
      lastOk = Date.now();
      track.failing = false;
      observe(track, d);
      render(d);
    } else if (!lastOk || fresh || Date.now() - lastOk > HOLD_MS) {
      /* A failed status without an error member is reported by its status
       * rather than drawn as a live card. */
      track.failing = false;
      render(d && d.error ? d : { error: 'HTTP ' + res.status });
    } else {
      holdFailure();
    }
  } catch (e) {
    if (targetKey() !== target) {
      moved = true;
    } else {
      remember(target, null);
      if (!lastOk)
        render({ error: 'Network error polling SGLang metrics' });
      else
        holdFailure();
    }
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

/* Fills the selector from the sessions action, once, and resolves to the
 * list (null without an answer, when the selector keeps what it had); an
 * answer without a list means no sessions. */
async function loadSessions() {
  var sel = el('sessSel');
  var d, list, i, s, name, opt, first, withUrl, urls = 0;
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
    if (s.has_url === true) {
      urls++;
      if (!withUrl)
        withUrl = opt;
    }
  }
  /* Nothing asked for: the first session with an endpoint, else the first. */
  if (!curSid && !curUrl) {
    opt = withUrl || first;
    opt.selected = true;
    curSid = opt.value;
  }
  if (urls >= 2) {
    el('allLink').href = pageLink({ view: 'all' });
    el('allLink').hidden = false;
  }
  return list;
}

/* A new target: the first failure for it shows at once, and its status
 * and history are its own. */
function newTarget() {
  lastOk = 0;
  track = newTracker();
}

function probeField() {
  curUrl = el('urlIn').value.trim();
  newTarget();
  poll(true);
}

/* The Refresh action: a forced poll of the card, or of every row. */
function refresh() {
  var i;
  if (!allRows.length) {
    poll(true);
    return;
  }
  for (i = 0; i < allRows.length; i++)
    allRows[i].force = true;
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
    newTarget();
    poll(true);
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
  if (toggle)
    toggle.addEventListener('click', toggleTheme);
  document.addEventListener('keydown', onKey);
}

function visible() {
  return document.visibilityState === 'visible';
}

/* One span of a row in the all-sessions view. */
function span(cls, text) {
  var s = document.createElement('span');
  s.className = cls;
  s.textContent = text;
  return s;
}

/* Redraws one row of the all-sessions view from what its polls gave. */
function drawRow(r) {
  var word = statusOf(r.track);
  var d = r.doc || {};
  var a = r.node;
  var model = String(d.model || '');
  var dot = word === 'error' ? 'dot err' : word === 'stalled' ? 'dot stalled'
    : word === 'loading' ? 'dot' : r.track.stale ? 'dot stale' : 'dot live';
  var st = span('ar-st', '');
  var what;
  a.textContent = '';
  a.appendChild(span('ar-name', r.name));
  st.appendChild(span(dot, ''));
  st.appendChild(span('status st-' + word, word));
  a.appendChild(st);
  if (word === 'error') {
    what = span('ar-err', r.error);
    if (r.detail)
      what.title = r.detail;
    a.appendChild(what);
    return;
  }
  if (word === 'loading')
    return;
  a.appendChild(span('ar-model', model.slice(model.lastIndexOf('/') + 1) || 'SGLang'));
  a.appendChild(explain(span('ar-fig', 'run ' + fig(d.num_running_reqs, num) + ' queue ' +
    fig(d.num_queue_reqs, num)), ['lg-run', 'lg-queue']));
  a.appendChild(explain(span('ar-fig', rate(isNum(d.gen_throughput) ? d.gen_throughput : d.gen_tok_s, 1) +
    ' t/s'), ['lg-tg']));
  a.appendChild(explain(span('ar-fig', 'KV ' + fig(d.token_usage, pct) + '%'), ['lg-kv']));
  a.appendChild(sparkSvg(histOf('id ' + r.name), [1], 'generation throughput of ' + r.name,
    null, null));
}

/* The worst status over the rows, for the header and the tab title. */
function updateAllStatus() {
  var worst = 'loading';
  var i, word;
  for (i = 0; i < allRows.length; i++) {
    word = statusOf(allRows[i].track);
    if (STATUS_ORDER.indexOf(word) < STATUS_ORDER.indexOf(worst))
      worst = word;
  }
  el('dot').className = worst === 'error' ? 'dot err' : worst === 'stalled' ? 'dot stalled'
    : worst === 'stale' ? 'dot stale' : worst === 'loading' ? 'dot' : 'dot live';
  showStatus(worst, '');
}

/* One metrics request for a row of the all-sessions view; mostly served
 * from the session's cache. The row keeps its last good figures through
 * failures for HOLD_MS, as the card does. */
async function pollRow(r) {
  var key = 'id ' + r.name;
  var t = r.track;
  var got, d, failed;
  r.busy = true;
  inFlight++;
  busy = true;
  try {
    got = await request(apiUrl({ action: 'metrics', id: r.name, fresh: r.force ? '1' : '' }));
    d = parseDoc(got.text);
    failed = !got.res.ok || !d || d.error;
    remember(key, failed ? null : d);
    if (!failed) {
      t.lastOk = Date.now();
      t.failing = false;
      t.shown = 'doc';
      observe(t, d);
      t.stale = docAge(d) > STALE_S;
      r.doc = d;
    } else if (!t.lastOk || r.force || Date.now() - t.lastOk > HOLD_MS) {
      t.shown = 'error';
      t.failing = false;
      r.error = d && d.error ? String(d.error) : 'HTTP ' + got.res.status;
      r.detail = d && d.detail ? String(d.detail) : '';
    } else {
      t.failing = true;
    }
  } catch (e) {
    remember(key, null);
    if (!t.lastOk) {
      t.shown = 'error';
      r.error = 'Network error polling SGLang metrics';
      r.detail = '';
    } else {
      t.failing = true;
    }
  } finally {
    r.force = false;
    r.busy = false;
    inFlight--;
    busy = inFlight > 0;
    drawRow(r);
    updateAllStatus();
  }
}

/* One slot of the staggered schedule: the rows take turns over the poll
 * period; a row whose request is still out, or a slot with MAX_FLIGHT
 * requests out, waits for its next turn. Nothing while hidden. */
function allSlot() {
  var r;
  if (!visible() || !allRows.length)
    return;
  r = allRows[allNext % allRows.length];
  allNext = (allNext + 1) % allRows.length;
  if (!r.busy && inFlight < MAX_FLIGHT)
    pollRow(r);
}

/* The all-sessions view: one row per session with an endpoint, each a
 * link to that session's card. */
async function startAll() {
  var card = el('card');
  var list, i, s, r;
  document.documentElement.classList.add('view-all');
  el('title').textContent = 'SGLang \u00b7 all sessions';
  list = (await loadSessions()) || [];
  card.textContent = '';
  card.classList.add('all');
  for (i = 0; i < list.length; i++) {
    s = list[i] || {};
    if (s.has_url !== true || s.name == null)
      continue;
    r = { name: String(s.name), track: newTracker(), doc: null, busy: false, force: false,
      error: '', detail: '', node: document.createElement('a') };
    r.node.className = 'all-row';
    r.node.href = pageLink({ id: r.name });
    drawRow(r);
    card.appendChild(r.node);
    allRows.push(r);
  }
  if (!allRows.length)
    card.appendChild(row('sg-msg', 'No session has an SGLang endpoint.'));
  updateAllStatus();
  allSlot();
  timer = window.setInterval(allSlot, POLL_MS / Math.max(1, allRows.length));
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
  if (pageParams.get('view') === 'all') {
    startAll();
    return;
  }
  showStatus('loading', '');
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
