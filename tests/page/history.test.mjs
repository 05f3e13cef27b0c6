// The card's history: sparklines over the last ten minutes, kept in session
// storage across reloads, one history per target; and the percentiles of
// the latency row with the span they cover.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openMonitor, withOpenMonitor, doc, cardRows, T_S } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const withMonitor = (opts, fn) => withOpenMonitor(browser, { query: 'id=demo', ...opts }, fn);

// A new probe every poll, with figures that move.
const moving = (u, i) => doc({ updated_epoch: T_S + 5 * i, gen_throughput: 10 + i, num_running_reqs: i % 3,
  num_queue_reqs: 1, token_usage: 0.1 * (i % 10), ttft_p50_ms: 100 + i, generation_tokens_total: 100 * i });

// The sparklines of the card: label, segments of each line, readout.
const sparks = (h) => h.page.evaluate(() => [...document.querySelectorAll('#card .sg-spark')].map((s) => ({
  label: s.querySelector('.sp-lbl').textContent,
  segments: [...s.querySelectorAll('path')].map((p) => (p.getAttribute('d').match(/M/g) || []).length),
  value: s.querySelector('.sp-val').textContent,
  max: s.querySelector('.sp-max').textContent,
})));

const stored = (h) => h.page.evaluate(() => Object.fromEntries(Object.keys(sessionStorage)
  .filter((k) => k.startsWith('qv_hist ')).map((k) => [k, JSON.parse(sessionStorage.getItem(k)).p.length])));

describe('sparklines', () => {
  it('appear after two polls, each an element of its own under the rows', () => withMonitor({ metrics: moving }, async (h) => {
    assert.deepEqual(await sparks(h), [], 'one point draws no line');
    await h.advance(5000);
    assert.deepEqual(await sparks(h), [
      { label: 'generation', segments: [1], value: '11.0 t/s', max: 'max 11.0 t/s' },
      { label: 'run (blue) / queue (orange)', segments: [1, 1], value: '1 / 1', max: 'max 1' },
      { label: 'KV', segments: [1], value: '10%', max: 'max 10%' },
      { label: 'ttft', segments: [1], value: '101 ms', max: 'max 101 ms' },
    ]);
    const rows = await cardRows(h);
    assert.equal(rows[rows.length - 1].split(':')[0], 'sg-sparks');
    assert.equal(rows[0], 'sg-row sg-hot: run 1   queue 1', 'the rows keep their text');
  }));

  it('break at failed polls and at a hidden stretch, never dropping to zero', () => withMonitor({
    metrics: (u, i) => (i === 2 ? { status: 502, json: { ok: false, error: 'down' } } : moving(u, i)),
  }, async (h) => {
    for (let i = 0; i < 3; i++)
      await h.advance(5000);
    assert.deepEqual((await sparks(h))[0].segments, [2], 'the failed poll splits the line');
    await h.page.evaluate(() => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
    });
    for (let i = 0; i < 6; i++)
      await h.advance(5000);
    await h.page.evaluate(() => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'visible' });
      document.dispatchEvent(new Event('visibilitychange'));
    });
    await h.idle();
    await h.advance(5000);
    assert.deepEqual((await sparks(h))[0].segments, [3], 'the hidden stretch splits it again');
    const ys = await h.page.evaluate(() => document.querySelector('#card .sg-spark path').getAttribute('d')
      .split(/[ML]/).filter(Boolean).map((p) => Number(p.split(' ')[1].replace(/h.*/, ''))));
    assert.ok(ys.every((y) => y < 23), `no point at the zero line: ${ys}`);
  }));

  it('mark a restart of the server', () => withMonitor({
    metrics: (u, i) => (i === 2 ? doc({ updated_epoch: T_S + 10, restarted: true }) : moving(u, i)),
  }, async (h) => {
    await h.advance(5000);
    assert.equal(await h.page.locator('#card .sg-spark path.sp-restart').count(), 0);
    await h.advance(5000);
    assert.equal(await h.page.locator('#card .sg-spark path.sp-restart').count(), 4, 'one mark in each sparkline');
  }));

  it('show the value and time of the point under the pointer', () => withMonitor({ metrics: moving }, async (h) => {
    await h.advance(5000);
    await h.advance(5000);
    const box = await h.page.locator('#card .sg-spark svg').first().boundingBox();
    await h.page.mouse.move(box.x + 1, box.y + box.height / 2);
    assert.match(await h.page.locator('#card .sg-spark .sp-val').first().innerText(), /^10\.0 t\/s at \d{1,2}:\d\d:\d\d/);
    await h.page.mouse.move(box.x + box.width - 1, box.y + box.height / 2);
    assert.match(await h.page.locator('#card .sg-spark .sp-val').first().innerText(), /^12\.0 t\/s at /);
    await h.page.mouse.move(0, 0);
    assert.equal(await h.page.locator('#card .sg-spark .sp-val').first().innerText(), '12.0 t/s');
  }));
});

describe('the history', () => {
  it('survives a reload', () => withMonitor({ metrics: moving }, async (h) => {
    await h.advance(5000);
    await h.advance(5000);
    assert.deepEqual(await stored(h), { 'qv_hist id demo': 3 });
    await h.page.reload();
    await h.idle();
    assert.deepEqual(await stored(h), { 'qv_hist id demo': 4 });
    assert.equal((await sparks(h)).length, 4, 'the first card after the reload has its lines');
  }));

  it('is one per target: a new target starts its own, a new server under it starts again', () => withMonitor({
    query: '',
    sessions: { ok: true, sessions: [{ name: 'a', has_url: true }, { name: 'b', has_url: true }] },
    metrics: (u, i) => (u.searchParams.get('id') === 'b' ? doc({ url: i > 4 ? 'http://gpu-2:1' : 'http://gpu-1:1' })
      : moving(u, i)),
  }, async (h) => {
    await h.advance(5000);
    await h.advance(5000);
    await h.page.selectOption('#sessSel', 'b');
    await h.idle();
    assert.deepEqual(await sparks(h), []);
    await h.advance(5000);
    assert.equal((await sparks(h)).length, 4);
    assert.deepEqual(await stored(h), { 'qv_hist id a': 3, 'qv_hist id b': 2 });
    await h.advance(5000);
    assert.deepEqual(await stored(h), { 'qv_hist id a': 3, 'qv_hist id b': 1 });
  }));

  it('keeps ten minutes and at most 64 targets', () => withMonitor({}, async (h) => {
    const kept = await h.page.evaluate(() => {
      const key = 'id demo';
      hist[key].p.unshift([Date.now() - 600001, 1, 1, 1, 1, 1], [Date.now() - 599000, 2, 2, 2, 2, 2]);
      remember(key, { ok: true, url: 'http://gpu-1:30000' });
      const oldest = hist[key].p[0][1];
      for (let i = 0; i < 70; i++) {
        Date.now = ((t) => () => t)(Date.now() + 1);
        remember('url http://h' + i + ':1', { ok: true, gen_throughput: i });
      }
      const keys = Object.keys(sessionStorage).filter((k) => k.startsWith('qv_hist '));
      return { oldest, stored: keys.length, memory: Object.keys(hist).length,
        newest: keys.includes('qv_hist url http://h69:1'), dropped: keys.includes('qv_hist url http://h5:1') };
    });
    assert.deepEqual(kept, { oldest: 2, stored: 64, memory: 64, newest: true, dropped: false });
  }));
});

describe('latency', () => {
  let h;
  before(async () => { h = await openMonitor(browser, { query: 'id=demo' }); });
  after(async () => { assert.deepEqual(h.errors, []); await h.close(); });
  const latency = async (d) => {
    await h.page.evaluate((x) => render(x), doc(d));
    return (await cardRows(h)).filter((r) => r.startsWith('sg-row sg-dim'));
  };
  const pcts = { itl_p50_ms: 10, itl_p95_ms: 22.04, ttft_p50_ms: 120.4, ttft_p95_ms: 480, queue_p50_ms: 3, queue_p95_ms: 9 };

  it('give latency rows of their own: the span, then each figure with its mean, p50 and p95', async () => {
    assert.deepEqual(await latency({ itl_ms: 11, ttft_ms: 150, queue_ms: 4, e2e_ms: 2100, ...pcts, e2e_p95_ms: 4000,
      window_s: 29.6 }), [
      'sg-row sg-dim: latency   last 30 s',
      'sg-row sg-dim: ttft  mean 150 ms    p50 120 ms     p95 480 ms',
      'sg-row sg-dim: itl   mean 11.0 ms   p50 10.0 ms    p95 22.0 ms',
      'sg-row sg-dim: queue mean 4 ms      p50 3 ms       p95 9 ms',
      'sg-row sg-dim: e2e   mean 2100 ms   p50 \u2014          p95 4000 ms',
    ]);
    assert.deepEqual(await latency({ ttft_p95_ms: 480, itl_ms: 11, window_s: 30, lifetime: true }), [
      'sg-row sg-dim: latency   since start',
      'sg-row sg-dim: ttft  mean \u2014         p50 \u2014          p95 480 ms',
      'sg-row sg-dim: itl   mean 11.0 ms   p50 \u2014          p95 \u2014',
    ]);
  });

  it('leaves the row as it was without them', async () => {
    assert.deepEqual(await latency({ itl_ms: 11, ttft_ms: 150, queue_ms: 4, e2e_ms: 900, window_s: 30, lifetime: true }),
      ['sg-row sg-dim: itl 11.0 ms   ttft 150 ms   queue 4 ms   e2e 900 ms']);
    assert.deepEqual(await latency({ ttft_p50_ms: '120', window_s: 30 }), []);
  });
});
