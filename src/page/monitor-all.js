/* The all-sessions view: every session as a row, the worst first, polled in turn from the per-session cache, each a link to its card. */

var MAX_FLIGHT = 4;  /* requests in flight at most in this view */
var allRows = [];    /* every row, in the order shown */
var allPolled = [];  /* the rows that are polled, in the session list's order */
var allNext = 0;     /* the row the next slot polls */

/* Redraws one row from its target record: name, dot and word, then its
 * figures, or the reason it fails or is not polled. */
function drawRow(r) {
  var word = statusOf(r);
  var d = r.doc || {};
  var a = r.node;
  var st = make('span', 'ar-st');
  var why = word === 'skipped' ? r.skip : word === 'error' ? String(r.err.detail || r.err.error) : '';
  a.textContent = '';
  a.appendChild(make('span', 'ar-name', r.name));
  st.appendChild(make('span', dotClass(word, r.stale)));
  st.appendChild(make('span', 'status st-' + word, word));
  a.appendChild(st);
  noteWord(r, word, r.name, why || stallText(r));
  if (why) {
    a.appendChild(make('span', word === 'error' ? 'ar-err' : 'ar-why', why)).title =
      word === 'error' ? String(r.err.error) : '';
    return;
  }
  if (word === 'loading')
    return;
  a.appendChild(make('span', 'ar-model', modelName(d)));
  a.appendChild(explain(make('span', 'ar-fig', 'run ' + fig(d.num_running_reqs, num) + ' queue ' +
    fig(d.num_queue_reqs, num)), ['lg-run', 'lg-queue']));
  a.appendChild(explain(make('span', 'ar-fig', rate(isNum(d.gen_throughput) ? d.gen_throughput : d.gen_tok_s, 1) +
    ' t/s'), ['lg-tg']));
  a.appendChild(explain(make('span', 'ar-fig', 'KV ' + fig(d.token_usage, pct) + '%'), ['lg-kv']));
  a.appendChild(sparkSvg(histOf(r.key), SPARKS[0], 'generation throughput of ' + r.name, null));
}

/* Puts the rows in order, worst word first and then by name, once a row's
 * word has changed since they were last placed; only rows out of place
 * are moved. */
function placeRows() {
  var card = el('card');
  var moved = false;
  var i, r;
  for (i = 0; i < allRows.length; i++) {
    r = allRows[i];
    moved = moved || r.placed !== r.word;
    r.placed = r.word;
  }
  if (!moved)
    return;
  allRows.sort(function (a, b) {
    return WORDS[a.word].rank - WORDS[b.word].rank || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
  });
  for (i = 0; i < allRows.length; i++) {
    if (card.children[i] !== allRows[i].node)
      card.insertBefore(allRows[i].node, card.children[i] || null);
  }
}

/* The header and the tab: the rows counted by word, worst first, and the
 * dot of the worst. */
function updateAllStatus() {
  var counts = {};
  var worst = allRows.length ? 'skipped' : 'loading';
  var i, w, text;
  for (i = 0; i < allRows.length; i++) {
    w = allRows[i].word;
    counts[w] = (counts[w] || 0) + 1;
    if (WORDS[w].rank < WORDS[worst].rank)
      worst = w;
  }
  text = Object.keys(WORDS).filter(function (k) { return counts[k]; })
    .map(function (k) { return counts[k] + ' ' + k; }).join(' \u00b7 ');
  showStatus(worst, text || worst, '', 'all sessions', false);
}

/* One metrics request for a row, mostly served from the session's cache;
 * the row keeps its last good figures through failures as the card does. */
async function pollRow(r) {
  var forced = r.force;
  r.force = false;
  takeAnswer(r, await pollTarget(r, forced), forced);
  drawRow(r);
  placeRows();
  updateAllStatus();
}

/* One slot of the staggered schedule: the polled rows take turns over the
 * poll period; a row whose request is still out, or a slot with
 * MAX_FLIGHT requests out, waits for its next turn. Nothing while hidden. */
function allSlot() {
  var r;
  if (!visible() || !allPolled.length)
    return;
  r = allPolled[allNext % allPolled.length];
  allNext = (allNext + 1) % allPolled.length;
  if (!r.busy && inFlight < MAX_FLIGHT)
    pollRow(r);
}

/* Forces a fresh round: each polled row asks past the cache on its turn. */
function refreshAll() {
  var i;
  for (i = 0; i < allPolled.length; i++)
    allPolled[i].force = true;
}

/* Starts the view: one row per session, those without an endpoint or
 * with a name the plug-in refuses in grey with the reason, never polled. */
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
    if (s.name == null)
      continue;
    r = newTarget({ id: String(s.name) }, s.has_url === true ? nameRefusal(String(s.name)) : 'no endpoint');
    r.name = String(s.name);
    r.node = make('a', 'all-row');
    r.node.href = pageLink({ id: r.name });
    drawRow(r);
    allRows.push(r);
    if (!r.skip)
      allPolled.push(r);
  }
  placeRows();
  if (!allPolled.length)
    card.appendChild(row('sg-msg', 'No session has an SGLang endpoint.'));
  updateAllStatus();
  allSlot();
  timer = window.setInterval(allSlot, POLL_MS / Math.max(1, allPolled.length));
}
