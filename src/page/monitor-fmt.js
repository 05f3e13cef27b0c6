/* Formatting: numbers, figures and durations as the page writes them, and the element builders every view uses. */

var DASH = '\u2014';

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

/* The local time of day of a time in milliseconds. */
function clock(ms) {
  return new Date(ms).toLocaleTimeString();
}

/* A length of time: '45 s', '2 m 10 s', '1 h 5 m'. */
function duration(ms) {
  var s = Math.max(0, Math.round(ms / 1000));
  if (s < 60)
    return s + ' s';
  if (s < 3600)
    return Math.floor(s / 60) + ' m ' + (s % 60) + ' s';
  return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' m';
}

/* The served model's own name: what follows the last '/', or "SGLang". */
function modelName(d) {
  var m = String(d.model || '');
  return m.slice(m.lastIndexOf('/') + 1) || 'SGLang';
}

function el(id) {
  return document.getElementById(id);
}

/* A new element with a class and a text, always set as text. */
function make(tag, cls, text) {
  var n = document.createElement(tag);
  if (cls)
    n.className = cls;
  if (text !== undefined)
    n.textContent = text;
  return n;
}

function row(cls, txt) {
  return make('div', cls ? 'sg-row ' + cls : 'sg-row', txt);
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
