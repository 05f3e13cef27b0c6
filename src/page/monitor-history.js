/* History and sparklines: ten minutes of each target's polls, kept in session storage, and drawn with their failing stretches and restarts. */

var HISTORY_MS = 600000; /* each target keeps this much history */
var GAP_MS = 12500;      /* points further apart than this are not joined */
var MAX_TARGETS = 64;    /* histories kept at most */
var STORE_PREFIX = 'qv_hist ';
var SVG_NS = 'http://www.w3.org/2000/svg';
var SPARK_W = 100;
var SPARK_H = 24;

/* The card's sparklines: label, what they show, the point members drawn
 * (several share one scale), and how a value is written. */
var SPARKS = [
  { label: 'generation', what: 'generation throughput', idx: [1], dec: 1, unit: ' t/s', scale: 1 },
  { label: 'run (blue) / queue (orange)', what: 'running requests (blue line) and queued requests (orange line)',
    idx: [2, 3], dec: 0, unit: '', scale: 1 },
  { label: 'KV', what: 'KV cache usage', idx: [4], dec: 0, unit: '%', scale: 100 },
  { label: 'ttft', what: 'time to first token', idx: [5], dec: 0, unit: ' ms', scale: 1 },
];

var hist = {};  /* target key -> its history, as stored */

/* The history of a target: {url, u (last change), p (points), r (restart
 * times)}, each point [time, generation t/s, running, queued, KV usage,
 * ttft ms] or [time] for a poll that failed. Read from session storage the
 * first time. */
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
  if (!Array.isArray(h.r))
    h.r = [];
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

/* Drops what is older than HISTORY_MS and mirrors the history to session
 * storage. */
function histSave(key, h, now) {
  while (h.p.length && !(h.p[0][0] > now - HISTORY_MS))
    h.p.shift();
  while (h.r.length && !(h.r[0] > now - HISTORY_MS))
    h.r.shift();
  h.u = now;
  try {
    window.sessionStorage.setItem(STORE_PREFIX + key, JSON.stringify(h));
  } catch (e) {}
}

/* Adds one poll's outcome to the target's history (d null: a failed poll,
 * drawn as a gap). A document for another server starts a new history. */
function remember(key, d) {
  var fresh = !hist[key];
  var h = histOf(key);
  var now = Date.now();
  var gen;
  if (d) {
    if (d.url && h.url && String(d.url) !== h.url) {
      h.p = [];
      h.r = [];
    }
    if (d.url)
      h.url = String(d.url);
    gen = isNum(d.gen_throughput) && d.gen_throughput >= 0 ? d.gen_throughput
      : isNum(d.gen_tok_s) && d.gen_tok_s >= 0 ? d.gen_tok_s : null;
    h.p.push([now, point(gen, 1), point(d.num_running_reqs, 0), point(d.num_queue_reqs, 0),
      point(d.token_usage, 3), point(isNum(d.ttft_p50_ms) ? d.ttft_p50_ms : d.ttft_ms, 1)]);
  } else {
    h.p.push([now]);
  }
  histSave(key, h, now);
  if (fresh)
    histPrune();
}

/* Marks a restart of the target's server in its history. */
function markRestart(key, when) {
  var h = histOf(key);
  h.r.push(when);
  histSave(key, h, Date.now());
}

/* The path of one series: a line through the points that have a value,
 * broken at failed polls and wherever the points lie far apart. */
function sparkPath(pts, idx, x, y) {
  var d = '';
  var joined = false;
  var last = 0;
  var i, v;
  for (i = 0; i < pts.length; i++) {
    v = pts[i][idx];
    if (absent(v) || pts[i][0] - last > GAP_MS)
      joined = false;
    if (!absent(v)) {
      d += (joined ? 'L' : 'M') + x(pts[i][0]).toFixed(1) + ' ' + y(v).toFixed(1) + (joined ? '' : 'h0.01');
      joined = true;
    }
    last = pts[i][0];
  }
  return d;
}

/* The failing stretches of the points as [from, to] times: from the poll
 * before the first failure to the next success, or to now. */
function failStretches(pts, now) {
  var out = [];
  var from = -1;
  var i;
  for (i = 0; i < pts.length; i++) {
    if (pts[i].length > 1 && from >= 0) {
      out.push([from, pts[i][0]]);
      from = -1;
    } else if (pts[i].length === 1 && from < 0) {
      from = i > 0 ? pts[i - 1][0] : pts[i][0];
    }
  }
  if (from >= 0)
    out.push([from, now]);
  return out;
}

function svgEl(tag, attrs) {
  var n = document.createElementNS(SVG_NS, tag);
  var k;
  for (k in attrs)
    n.setAttribute(k, attrs[k]);
  return n;
}

/* Draws the shaded failing stretches and the restart marks of history h. */
function sparkMarks(svg, h, x, now) {
  var gaps = failStretches(h.p, now);
  var i, x0;
  for (i = 0; i < gaps.length; i++) {
    x0 = x(gaps[i][0]);
    svg.appendChild(svgEl('rect', { class: 'sp-gap', x: x0.toFixed(1), y: 0,
      width: Math.max(1, x(gaps[i][1]) - x0).toFixed(1), height: SPARK_H }));
  }
  for (i = 0; i < h.r.length; i++) {
    if (x(h.r[i]) >= 0)
      svg.appendChild(svgEl('path', { class: 'sp-restart', d: 'M' + x(h.r[i]).toFixed(1) + ' 0V' + SPARK_H }));
  }
}

/* The largest value of the members idxs over the points, or 0. */
function sparkTop(pts, idxs) {
  var top = 0;
  var i, j;
  for (i = 0; i < pts.length; i++) {
    for (j = 0; j < idxs.length; j++)
      top = Math.max(top, pts[i][idxs[j]] || 0);
  }
  return top;
}

/* A sparkline of history h for spark s, as an svg element, with the
 * failing stretches shaded and restarts marked. Pointing at it shows the
 * value nearest the pointer and its time in readout. */
function sparkSvg(h, s, label, readout) {
  var pts = h.p;
  var now = Date.now();
  var t0 = pts.length ? Math.max(pts[0][0], now - HISTORY_MS) : now;
  var span = Math.max(now - t0, 60000);
  var top = sparkTop(pts, s.idx) || 1;
  var x = function (t) { return (t - t0) / span * SPARK_W; };
  var y = function (v) { return SPARK_H - 1 - Math.max(0, v) / top * (SPARK_H - 2); };
  var svg = svgEl('svg', { viewBox: '0 0 ' + SPARK_W + ' ' + SPARK_H, preserveAspectRatio: 'none',
    class: 'spark', role: 'img', 'aria-label': label + ', last 10 minutes' });
  var j;
  sparkMarks(svg, h, x, now);
  for (j = 0; j < s.idx.length; j++)
    svg.appendChild(svgEl('path', { d: sparkPath(pts, s.idx[j], x, y), class: 'sp' + j }));
  if (readout)
    sparkPointer(svg, pts, t0, span, s, readout);
  return svg;
}

/* Shows in readout the value nearest the pointer over svg, and the newest
 * again when the pointer leaves. */
function sparkPointer(svg, pts, t0, span, s, readout) {
  svg.addEventListener('pointermove', function (ev) {
    var box = svg.getBoundingClientRect();
    var t = t0 + (ev.clientX - box.left) / (box.width || 1) * span;
    var best = null;
    var i;
    for (i = 0; i < pts.length; i++) {
      if (pts[i].length > 1 && (!best || Math.abs(pts[i][0] - t) < Math.abs(best[0] - t)))
        best = pts[i];
    }
    if (best)
      readout.textContent = sparkText(s, best) + ' at ' + clock(best[0]);
  });
  svg.addEventListener('pointerleave', function () {
    readout.textContent = latestText(pts, s);
  });
}

function sparkVal(s, v) {
  return absent(v) ? DASH : (v * s.scale).toFixed(s.dec) + s.unit;
}

/* The values of spark s at one point. */
function sparkText(s, p) {
  return s.idx.map(function (i) { return sparkVal(s, p[i]); }).join(' / ');
}

/* The readout of the newest point that has values, or the dash. */
function latestText(pts, s) {
  var i;
  for (i = pts.length - 1; i >= 0; i--) {
    if (pts[i].length > 1)
      return sparkText(s, pts[i]);
  }
  return DASH;
}

/* Appends the sparklines of history h to box, each a block of its own
 * with its newest value and its maximum over the window, once the history
 * holds two points. */
function renderSparks(box, h) {
  var wrap, i, s, item, val;
  if (h.p.length < 2)
    return;
  wrap = make('div', 'sg-sparks');
  for (i = 0; i < SPARKS.length; i++) {
    s = SPARKS[i];
    item = make('div', 'sg-spark');
    val = make('span', 'sp-val', latestText(h.p, s));
    item.appendChild(make('span', 'sp-lbl', s.label));
    item.appendChild(sparkSvg(h, s, s.what, val));
    item.appendChild(val);
    item.appendChild(make('span', 'sp-max', 'max ' + sparkVal(s, sparkTop(h.p, s.idx))));
    wrap.appendChild(item);
  }
  box.appendChild(wrap);
}
