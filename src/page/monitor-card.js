/* The card view: one target's figures as rows, its sparklines, its error display, its status, and its polls. */

var HINT = 'Pick a session above or enter an SGLang server URL.';
var LATENCIES = [['ttft', 0], ['itl', 1], ['queue', 0], ['e2e', 0]];

var cur = newTarget(null);  /* the card's target */

/* What the card watches, in words: the session, or the URL. */
function targetLabel() {
  return curUrl || curSid;
}

/* Refreshes the status of the card after a render or a held failure; the
 * footer counts the age of the last answer while polls fail. */
function updateStatus() {
  var t = cur;
  var word = statusOf(t);
  var why = '';
  if (word === 'stalled')
    why = stallText(t).replace(/^stalled: /, '');
  else if (word === 'error')
    why = [].map.call(el('card').querySelectorAll('.sg-err, .sg-detail'), function (c) {
      return c.textContent; }).join(': ');
  else if (word === 'retrying')
    why = 'polls fail';
  else if (word === 'skipped')
    why = t.skip;
  el('ageLbl').textContent = t.lastOk && (t.failing || t.shown === 'error')
    ? 'polls failing \u00b7 last answer ' + duration(Date.now() - t.lastOk) + ' ago' : '';
  showStatus(word, word, why, targetLabel(), t.stale);
  noteWord(t, word, targetLabel(), why);
}

/* The error display: the message and, when the answer gives one, the
 * reason on a line of its own; after an earlier success, since when the
 * target fails; then the sparklines, the failing stretch shaded. The badge
 * and the time label keep what they showed. */
function renderError(card, d) {
  el('title').textContent = 'SGLang Monitor';
  card.classList.remove('stale');
  card.appendChild(make('div', 'sg-err', d && d.error ? String(d.error) : 'No SGLang metrics'));
  if (d && d.detail)
    card.appendChild(make('div', 'sg-detail', String(d.detail)));
  if (cur.failSince && cur.lastOk)
    card.appendChild(make('div', 'sg-since', 'failing since ' + clock(cur.failSince) + ' (' +
      duration(Date.now() - cur.failSince) + ')'));
  if (cur.key)
    renderSparks(card, histOf(cur.key));
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

/* The throughput row: reported generation rate, the windowed rates, and
 * the finished requests per second when the document has them. */
function rowThroughput(d) {
  var text = 'tg ' + rate(d.gen_throughput, 1) + ' t/s   pp ' + rate(d.pp_tok_s, 0) +
    ' t/s   gen ' + rate(d.gen_tok_s, 0) + ' t/s';
  var ids = ['lg-tg', 'lg-pp', 'lg-gen'];
  if (isNum(d.req_s)) {
    text += '   req/s ' + rate(d.req_s, 1);
    ids.push('lg-reqrate');
  }
  return explain(row(num(d.gen_throughput) > 0 ? 'sg-hot' : '', text), ids);
}

/* The KV cache row and its bar, appended to card when the server reports
 * a capacity or a usage. Without a usage there is no bar. */
function rowsKv(card, d) {
  var usage = num(d.token_usage);
  var cap = num(d.max_total_num_tokens);
  var ctx = num(d.context_len);
  var ids = ['lg-kv'];
  var text, bar, p;
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
  bar = make('div', 'sg-bar' + (p >= 90 ? ' full' : p >= 70 ? ' warn' : ''));
  bar.appendChild(make('i')).style.width = Math.min(100, Math.max(0, p || 0)) + '%';
  card.appendChild(bar);
}

/* One compact line of the data-parallel ranks' running requests and KV
 * usage, or null with fewer than two ranks. */
function rowRanks(d) {
  var run = [];
  var kv = [];
  var i, r;
  if (!Array.isArray(d.dp) || d.dp.length < 2)
    return null;
  for (i = 0; i < d.dp.length; i++) {
    r = d.dp[i] || {};
    run.push(fig(r.num_running_reqs, num));
    kv.push(fig(r.token_usage, pct));
  }
  return explain(row('', 'dp ' + d.dp.length + '   run ' + run.join('/') + '   KV ' + kv.join('/') + '%'),
    ['lg-dp']);
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

/* Whether the document carries any latency percentile. */
function hasPercentiles(d) {
  return LATENCIES.some(function (l) {
    return isNum(d[l[0] + '_p50_ms']) || isNum(d[l[0] + '_p95_ms']);
  });
}

/* The latency row without percentiles: the means present, or null. */
function rowLatency(d) {
  var lat = [];
  var ids = [];
  ['itl', 'ttft', 'queue', 'e2e'].forEach(function (k) {
    if (isNum(d[k + '_ms'])) {
      lat.push(k + ' ' + sgF(d[k + '_ms'], k === 'itl' ? 1 : 0) + ' ms');
      ids.push(k === 'queue' ? 'lg-qtime' : 'lg-' + k);
    }
  });
  return lat.length ? explain(row('sg-dim', lat.join('   ')), ids) : null;
}

/* The latency rows with percentiles: what span they cover, then one row
 * per figure with its mean, p50 and p95, in aligned columns. */
function rowsPercentiles(card, d) {
  var span = d.lifetime === true ? 'since start' : isNum(d.window_s) ? 'last ' + Math.round(d.window_s) + ' s' : '';
  /* Columns of 15 characters, at least three spaces apart. */
  var col = function (label, v, dec) { return (label + ' ' + (isNum(v) ? sgF(v, dec) + ' ms' : DASH) + '   ').padEnd(15); };
  card.appendChild(explain(row('sg-dim', 'latency' + (span ? '   ' + span : '')), span ? ['lg-pct', 'lg-window'] : ['lg-pct']));
  LATENCIES.forEach(function (l) {
    var k = l[0];
    if (!isNum(d[k + '_ms']) && !isNum(d[k + '_p50_ms']) && !isNum(d[k + '_p95_ms']))
      return;
    card.appendChild(explain(row('sg-dim', (k.padEnd(6) + col('mean', d[k + '_ms'], l[1]) +
      col('p50', d[k + '_p50_ms'], l[1]) + col('p95', d[k + '_p95_ms'], l[1])).trimEnd()),
      [k === 'queue' ? 'lg-qtime' : 'lg-' + k, 'lg-mean', 'lg-pct']));
  });
}

/* The trouble row: aborted requests and the share of 5xx answers over the
 * window, or null while both are zero or unknown. */
function rowTrouble(d) {
  var parts = [];
  var ids = [];
  if (num(d.aborted_requests)) {
    parts.push('aborted ' + sgN(d.aborted_requests));
    ids.push('lg-aborted');
  }
  if (num(d.http_error_rate)) {
    parts.push('5xx ' + sgF(num(d.http_error_rate) * 100, 1) + '%');
    ids.push('lg-5xx');
  }
  return parts.length ? explain(row('sg-warn', parts.join('   ')), ids) : null;
}

/* The totals row, or null while every total is zero. */
function rowTotals(d) {
  if (num(d.requests_total) === 0 && num(d.prompt_tokens_total) === 0 && num(d.generation_tokens_total) === 0)
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
  var text = stallText(cur);
  if (text)
    card.appendChild(row('sg-note', text));
  if (cur.restartAt && Date.now() - cur.restartAt < RESTART_MS)
    card.appendChild(row('sg-note', 'restarted at ' + clock(cur.restartAt) +
      ': totals start again from zero'));
}

/* Appends the rows that are not null to card. */
function appendRows(card, rows) {
  var i;
  for (i = 0; i < rows.length; i++) {
    if (rows[i])
      card.appendChild(rows[i]);
  }
}

/* Appends the card rows of one metrics document, in their fixed order. */
function renderRows(card, d) {
  appendRows(card, [rowRequests(d), rowThroughput(d)]);
  rowsKv(card, d);
  appendRows(card, [rowRanks(d), rowCache(d), rowSpec(d)]);
  if (hasPercentiles(d))
    rowsPercentiles(card, d);
  else
    appendRows(card, [rowLatency(d)]);
  appendRows(card, [rowTrouble(d), rowTotals(d), rowHint(d)]);
}

/* The header of the metrics display: fading, title (the model isolated
 * from the page's text direction) and badge. */
function renderHead(d) {
  var badge = el('srcBadge');
  var title = el('title');
  var stale = docAge(d) > STALE_S;
  cur.stale = stale;
  el('card').classList.toggle('stale', stale);
  title.textContent = 'SGLang \u00b7 ';
  title.appendChild(make('bdi', '', modelName(d)));
  if (stale)
    title.appendChild(document.createTextNode(' (stale)'));
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
    cur.shown = 'error';
    renderError(card, d);
  } else {
    cur.shown = 'doc';
    renderHead(d);
    rowsNotes(card);
    renderRows(card, d);
    renderSparks(card, histOf(cur.key));
    el('urlLbl').textContent = d.url ? String(d.url) : '';
    el('verLbl').textContent = d.version ? 'SGLang ' + String(d.version) : '';
    el('tsLbl').textContent = 'updated ' + clock(Date.now());
  }
  updateStatus();
}

/* A target the card does not poll: the reason in words, grey. */
function renderSkipped() {
  var card = el('card');
  card.textContent = '';
  card.appendChild(make('div', 'sg-msg', cur.skip));
  updateStatus();
}

/* One metrics request for the card's target. A poll asked for while
 * another is in flight is dropped; when the user chose another target
 * meanwhile, the answer is dropped and the new target polled at once. */
async function poll(fresh) {
  var t = cur;
  var got;
  if (inFlight)
    return;
  if (t.skip) {
    renderSkipped();
    return;
  }
  if (!t.params) {
    render({ error: HINT });
    return;
  }
  got = await pollTarget(t, fresh);
  if (t !== cur)
    poll(true);
  else if (takeAnswer(t, got, fresh))
    render(t.shown === 'error' ? t.err : t.doc);
  else
    updateStatus();
}
