// Benchmark of the all-sessions view (a benchmark that prints figures, not
// a test): scripting time per 5-second tick with 32 sessions, read from the
// browser's own performance metrics, and the bytes the page holds in session
// storage after ten minutes of polls.
//   node bench.mjs BUILD_DIR
import { launch, openMonitor, doc, T_S } from './harness.mjs';

if (process.argv.length !== 3) {
  console.error('usage: node bench.mjs BUILD_DIR (after npm ci in this folder)');
  process.exit(2);
}
process.env.QV_BUILD_DIR = process.argv[2];

const SESSIONS = 32;
const TICK_MS = 5000;
const TICKS = 120;  // ten minutes
const names = Array.from({ length: SESSIONS }, (_, i) => `gpu-${String(i).padStart(2, '0')}`);

// Figures that move, as a busy server's would.
const metrics = (u, i) => doc({
  updated_epoch: T_S + Math.floor(i / SESSIONS) * 5, session: u.searchParams.get('id'),
  num_running_reqs: i % 7, num_queue_reqs: i % 3, max_running_reqs: 48, gen_throughput: 400 + (i % 50) * 3.7,
  pp_tok_s: 8000 + i % 900, gen_tok_s: 1500 + i % 400, token_usage: (i % 100) / 100, num_used_tokens: 1000 * (i % 300),
  max_total_num_tokens: 392000, context_len: 131072, cache_hit_rate: 0.3, ttft_ms: 250, ttft_p50_ms: 180,
  ttft_p95_ms: 900, itl_ms: 20, requests_total: 1000 + i, prompt_tokens_total: 5e6 + i * 900,
  generation_tokens_total: 1e6 + i * 300, window_s: 30,
});

const browser = await launch();
const h = await openMonitor(browser, {
  query: 'view=all',
  sessions: { ok: true, sessions: names.map((name) => ({ name, has_url: true })) },
  metrics,
});
const cdp = await h.context.newCDPSession(h.page);
await cdp.send('Performance.enable');
const timeline = async () => {
  const m = (await cdp.send('Performance.getMetrics')).metrics;
  return { script: m.find((x) => x.name === 'ScriptDuration').value };
};

// The schedule gives each row a slot of TICK_MS / SESSIONS, which the
// browser's timer rounds down to whole milliseconds; each slot is stepped
// on its own (one millisecond longer, so that it fires exactly once) and its
// request answered before the next one.
const slot = Math.floor(TICK_MS / SESSIONS) + 1;
const first = await timeline();
for (let t = 0; t < TICKS; t++) {
  for (let s = 0; s < SESSIONS; s++)
    await h.advance(slot);
}
const last = await timeline();
const storage = await h.page.evaluate(() => {
  let bytes = 0;
  let keys = 0;
  for (let i = 0; i < sessionStorage.length; i++) {
    const k = sessionStorage.key(i);
    bytes += new TextEncoder().encode(k + sessionStorage.getItem(k)).length;
    keys++;
  }
  return { bytes, keys };
});
const polls = h.metricsRequests().length;
await h.close();
await browser.close();

console.log(`all-sessions view, ${SESSIONS} sessions, ${TICKS} ticks of ${TICK_MS / 1000} s (${polls} polls)`);
// Task time also holds the driver's own calls into the page, so only the
// scripting time speaks for the page.
console.log(`scripting time per tick: ${((last.script - first.script) * 1000 / TICKS).toFixed(2)} ms`);
console.log(`session storage after ${TICKS * TICK_MS / 60000} minutes: ${storage.bytes} bytes in ${storage.keys} histories ` +
  `(${Math.round(storage.bytes / Math.max(1, storage.keys))} bytes each)`);
