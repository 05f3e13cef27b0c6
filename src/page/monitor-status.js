/* Status: the target record, how one answer is taken into it, its status word, and how the header, the tab and notifications show that word. */

var STALE_S = 20;        /* a document older than this is shown as stale */
var HOLD_MS = 15000;     /* failures keep the last good figures this long */
var RESTART_MS = 60000;  /* a restart is shown this long */
var NET_ERROR = 'Network error polling SGLang metrics';
var NOTIFY_KEY = 'qv_notify';

/* Each status word, worst first: its rank, its dot class (null: live or
 * stale by the document's age) and the colour of the tab's icon. */
var WORDS = {
  error: { rank: 0, dot: 'err', colour: '#ff453a' },
  stalled: { rank: 1, dot: 'stalled', colour: '#bf5af2' },
  restarted: { rank: 2, dot: null, colour: '#0a84ff' },
  retrying: { rank: 3, dot: null, colour: '#ff9f0a' },
  stale: { rank: 4, dot: 'stale', colour: '#ff9f0a' },
  live: { rank: 5, dot: 'live', colour: '#30d158' },
  loading: { rank: 6, dot: '', colour: '#8e8e93' },
  skipped: { rank: 7, dot: '', colour: '#8e8e93' },
};

var baseTitle = '';
var announced = '';  /* the status last announced */
var iconLink = null; /* the tab icon the script added */

/* A target the page polls: params is {url} or {id} (null: none chosen);
 * skip, when set, says in words why it is not polled. The record holds its
 * in-flight flag, its last success, the document or the error shown, and
 * what its polls tell together (stalled, restarted, failing). */
function newTarget(params, skip) {
  return { key: !params ? '' : params.url ? 'url ' + params.url : 'id ' + params.id,
    params: params, skip: skip || '', busy: false, force: false, lastOk: 0, doc: null, err: null,
    failSince: 0, shown: skip ? 'skipped' : 'loading', word: '', stale: false, failing: false,
    prev: null, queueRun: 0, tokenRun: 0, stall: '', restartAt: 0 };
}

/* Whether a total went down from one document to the next. */
function fell(a, b) {
  return isNum(a) && isNum(b) && b < a;
}

/* Takes one good document into target t: a restart when the document says
 * so or a total went down; stalled when requests queued with none running
 * in two polls in a row, or requests ran while the generated-token total
 * stood still over three polls. A document served again from the cache
 * (same probe time) is no new observation. Returns whether it restarted. */
function observe(t, d) {
  var p = t.prev;
  var running = d.num_running_reqs;
  var gen = d.generation_tokens_total;
  var restarted = false;
  if (p && isNum(d.updated_epoch) && d.updated_epoch === p.updated_epoch)
    return false;
  if (d.restarted === true || (p && (fell(p.requests_total, d.requests_total) ||
      fell(p.prompt_tokens_total, d.prompt_tokens_total) || fell(p.generation_tokens_total, gen)))) {
    t.restartAt = Date.now();
    t.tokenRun = 0;
    restarted = true;
  }
  t.queueRun = num(d.num_queue_reqs) > 0 && running === 0 ? t.queueRun + 1 : 0;
  if (isNum(running) && running > 0 && isNum(gen))
    t.tokenRun = p && t.tokenRun > 0 && p.generation_tokens_total === gen ? t.tokenRun + 1 : 1;
  else
    t.tokenRun = 0;
  t.stall = t.queueRun >= 2 ? 'queue' : t.tokenRun >= 3 ? 'tokens' : '';
  t.prev = d;
  return restarted;
}

/* The age of a document in whole seconds, from its probe time. */
function docAge(d) {
  return isNum(d.updated_epoch) ? Math.max(0, Math.floor(Date.now() / 1000) - d.updated_epoch) : 0;
}

/* Takes the outcome of one poll of target t: got is {res, text}, or null
 * for a request that got no answer. A success becomes the document. A
 * failure keeps the last good document for HOLD_MS after the last success,
 * then becomes the error; a forced poll that got an answer shows its
 * failure at once. Every outcome goes into the target's history. Returns
 * whether what the target shows changed (false: a failure held back). */
function takeAnswer(t, got, forced) {
  var now = Date.now();
  var d = got ? parseDoc(got.text) : null;
  var good = got && got.res.ok && d && !d.error;
  remember(t.key, good ? d : null);
  if (good) {
    t.lastOk = now;
    t.failing = false;
    t.failSince = 0;
    t.shown = 'doc';
    t.doc = d;
    t.stale = docAge(d) > STALE_S;
    if (observe(t, d))
      markRestart(t.key, now);
    return true;
  }
  t.failSince = t.failSince || now;
  if (t.lastOk && now - t.lastOk <= HOLD_MS && !(forced && got)) {
    t.failing = true;
    return false;
  }
  t.failing = false;
  t.shown = 'error';
  /* A failed status without an error member is reported by its status
   * rather than drawn as a live card. */
  t.err = !got ? { error: NET_ERROR } : d && d.error ? d : { error: 'HTTP ' + got.res.status };
  return true;
}

/* The one status word of a target. */
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

/* Why a target is stalled, in words, or ''. */
function stallText(t) {
  var d = t.prev || {};
  if (t.stall === 'queue')
    return 'stalled: ' + num(d.num_queue_reqs) + ' requests queued, none running';
  if (t.stall === 'tokens')
    return 'stalled: ' + num(d.num_running_reqs) + ' requests running, no token generated in ' +
      t.tokenRun + ' polls';
  return '';
}

/* The class of a dot for a word; stale decides the words that keep the
 * dot of the document's age. */
function dotClass(word, stale) {
  var dot = WORDS[word].dot;
  if (dot === null)
    dot = stale ? 'stale' : 'live';
  return dot ? 'dot ' + dot : 'dot';
}

/* Shows a status in the header and the tab: the dot, the text beside it
 * (the word, or counts of words), the tab title naming what is watched,
 * the tab icon, and one announcement when the word changed. */
function showStatus(word, text, why, label, stale) {
  var w = el('statusWord');
  w.textContent = text;
  w.className = 'status st-' + word;
  el('dot').className = dotClass(word, stale);
  document.title = text + (label ? ' \u00b7 ' + label : '') + ' \u00b7 ' + baseTitle;
  showIcon(word);
  if (word !== announced && word !== 'loading')
    el('announce').textContent = 'Status ' + word + (why ? ': ' + why : '');
  announced = word;
}

/* The tab icon: a dot in the colour of the word, as an SVG data URL. It
 * is added at start, so the browser does not ask for a favicon file. */
function showIcon(word) {
  var href = 'data:image/svg+xml,' + encodeURIComponent("<svg xmlns='http://www.w3.org/2000/svg' " +
    "viewBox='0 0 16 16'><circle cx='8' cy='8' r='6' fill='" + WORDS[word].colour + "'/></svg>");
  if (!iconLink) {
    iconLink = document.createElement('link');
    iconLink.rel = 'icon';
    document.head.appendChild(iconLink);
  }
  if (iconLink.getAttribute('href') !== href)
    iconLink.setAttribute('href', href);
}

/* Keeps the word of target t, named label, and notifies when it turns
 * error or stalled, or restarts, from a word already known. */
function noteWord(t, word, label, why) {
  var was = t.word;
  t.word = word;
  if (!was || was === word || was === 'loading' || was === 'skipped')
    return;
  if (word === 'error' || word === 'stalled' || word === 'restarted')
    notify(word + ' \u00b7 ' + label, why);
}

/* Whether the user turned notifications on and the browser allows them. */
function notifying() {
  try {
    return window.localStorage.getItem(NOTIFY_KEY) === '1' && window.Notification.permission === 'granted';
  } catch (e) {
    return false;
  }
}

function notify(title, body) {
  if (!notifying())
    return;
  try {
    new window.Notification(title, { body: body || '', tag: 'qv ' + title });
  } catch (e) {}
}

/* The bell button: shown where the browser can notify, pressed while on. */
function showBell() {
  var bell = el('btnBell');
  bell.hidden = !window.Notification;
  bell.setAttribute('aria-pressed', notifying() ? 'true' : 'false');
}

/* Turns notifications off, or asks the browser's permission and turns
 * them on once it is given; the choice is remembered. */
function toggleBell() {
  var store = function (v) {
    try {
      window.localStorage.setItem(NOTIFY_KEY, v);
    } catch (e) {}
    showBell();
  };
  if (notifying()) {
    store('0');
    return;
  }
  Promise.resolve(window.Notification.requestPermission()).then(function (p) {
    store(p === 'granted' ? '1' : '0');
  }, function () {});
}
