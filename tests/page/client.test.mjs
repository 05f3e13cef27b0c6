// The client script in Chromium: the served page with scripted sessions
// and metrics answers, and the page clock moved by the tests.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openMonitor, withOpenMonitor, doc, cardRows, deferred, until, T_S } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// Opens the page, runs fn with it and closes it; page errors fail the test.
const withMonitor = (opts, fn) => withOpenMonitor(browser, opts, fn);

const options = (h) => h.page.evaluate(() =>
  [...document.getElementById('sessSel').options].map((o) => [o.value, o.text, o.selected]));
const query = (u) => u.search.slice(1);
const HINT = 'No rates, latencies or totals: start SGLang with --enable-metrics';

describe('start-up and the session list', () => {
  it('picks the first session with an endpoint when nothing is asked for', () => withMonitor({
    sessions: { ok: true, sessions: [{ name: 'a', has_url: false }, { name: 'b', has_url: true },
      { name: 'c', has_url: true }] },
  }, async (h) => {
    assert.deepEqual(await options(h), [['', 'Select session\u2026', false],
      ['a', 'a (no url)', false], ['b', 'b', true], ['c', 'c', false]]);
    assert.deepEqual(h.requests.map(query), ['action=sessions', 'action=metrics&id=b']);
  }));

  it('falls back to the first session when none has an endpoint', () => withMonitor({
    sessions: { ok: true, sessions: [{ name: 'x_y', has_url: false }, { name: 'z', has_url: false }] },
  }, async (h) => {
    assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=x_y']);
  }));

  for (const [what, sessions] of [['an empty list', { ok: true, sessions: [] }],
    ['an error answer', { status: 200, json: { ok: false, error: 'boom' } }],
    ['a list that is not an array', { ok: true, sessions: { name: 'a' } }]]) {
    it(`shows "No sessions" and the hint for ${what}`, () => withMonitor({ sessions }, async (h) => {
      assert.deepEqual(await options(h), [['', 'No sessions', true]]);
      assert.equal(await h.text('#card'), 'Pick a session above or enter an SGLang server URL.');
      assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot err');
      assert.equal(h.metricsRequests().length, 0);
    }));
  }

  for (const [what, sessions] of [['no answer', { abort: true }], ['a body that is not JSON', { text: '<html>' }]]) {
    it(`keeps the selector as it was after ${what}`, () => withMonitor({ sessions, query: 'id=demo' }, async (h) => {
      assert.deepEqual(await options(h), [['', 'Active session\u2026', true]]);
      assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=demo']);
    }));
  }

  it('never asks for a session whose name the plug-in refuses, and says why', async () => {
    const sessions = { ok: true, sessions: [{ name: 'my project', has_url: true }, { name: 'gpu.1', has_url: true }] };
    await withMonitor({ sessions }, async (h) => {
      assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=gpu.1'], 'the first name it takes is picked');
      await h.page.selectOption('#sessSel', 'my project');
      await h.idle();
      await h.advance(5000);
      assert.deepEqual(await cardRows(h), ['sg-msg: name not accepted: a session name may hold only ASCII letters, digits ' +
        'and - . : _ (1 to 160 of them, without "..")']);
      assert.deepEqual([await h.text('#statusWord'), await h.page.getAttribute('#dot', 'class')], ['skipped', 'dot']);
      assert.equal(h.metricsRequests().length, 1);
    });
    for (const name of ['.', '..', 'a..b', 'x'.repeat(161), 'caf\u00e9']) {
      await withMonitor({ sessions, query: `id=${encodeURIComponent(name)}` }, async (h) => {
        assert.equal(h.metricsRequests().length, 0, name);
      });
    }
  });

  it('selects the session named by id and polls it', () => withMonitor({
    query: 'id=b', sessions: { ok: true, sessions: [{ name: 'a', has_url: true }, { name: 'b', has_url: true }] },
  }, async (h) => {
    assert.deepEqual((await options(h)).map((o) => o[2]), [false, false, true]);
    assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=b']);
  }));

  it('with url: fills the field, picks no session and never sends id', () => withMonitor({
    query: 'url=http%3A%2F%2Fgpu-2%3A30000',
  }, async (h) => {
    assert.equal(await h.page.inputValue('#urlIn'), 'http://gpu-2:30000');
    assert.deepEqual((await options(h)).map((o) => o[2]), [true, false]);
    await h.advance(5000);
    await h.page.click('#btnRefresh');
    await h.idle();
    assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&url=http%3A%2F%2Fgpu-2%3A30000',
      'action=metrics&url=http%3A%2F%2Fgpu-2%3A30000', 'action=metrics&url=http%3A%2F%2Fgpu-2%3A30000&fresh=1']);
  }));

  it('passes plugin, node and pwd on, in that order, before the action', () => withMonitor({
    query: 'pwd=s%20e%26cret&x=1&node=&plugin=sglang&id=demo',
  }, async (h) => {
    assert.deepEqual(h.requests.map(query), ['plugin=sglang&pwd=s+e%26cret&action=sessions',
      'plugin=sglang&pwd=s+e%26cret&action=metrics&id=demo']);
    assert.ok(h.requests.every((u) => u.pathname === '/cgi-bin/sglang-monitor'));
  }));
});

describe('the metrics card', () => {
  let h;
  before(async () => { h = await openMonitor(browser, { query: 'id=demo' }); });
  after(async () => { assert.deepEqual(h.errors, []); await h.close(); });
  const show = async (d) => { await h.page.evaluate((x) => render(x), d); return cardRows(h); };

  it('draws every row of a full document', async () => {
    const rows = await show(doc({
      model: 'org/family/name-7b', num_running_reqs: 3, num_queue_reqs: 1, max_running_reqs: 48,
      gen_throughput: 123.45, pp_tok_s: 2048.4, gen_tok_s: 95.6, token_usage: 0.4215,
      num_used_tokens: 27600, max_total_num_tokens: 65536, context_len: 32768,
      cache_hit_rate: 0.634, cache_hit_rate_lifetime: 0.5,
      spec_algo: 'EAGLE', spec_accept_length: 2.345, spec_accept_rate: 0.71,
      itl_ms: 10.46, ttft_ms: 180.4, queue_ms: 3.2,
      requests_total: 12345, prompt_tokens_total: 1234567, generation_tokens_total: 98765,
    }));
    assert.deepEqual(rows, [
      'sg-row sg-hot: run 3   queue 1   max 48',
      'sg-row sg-hot: tg 123.5 t/s   pp 2048 t/s   gen 96 t/s',
      'sg-row: KV  28K/66K (42%)   ctx 33K',
      '[sg-bar 42%]',
      'sg-row: cache 63% (life 50%)',
      'sg-row: spec EAGLE   len 2.35   acc 71%',
      'sg-row sg-dim: itl 10.5 ms   ttft 180 ms   queue 3 ms',
      'sg-row sg-dim: reqs 12,345   prompt 1.2M   gen 99K',
    ]);
    assert.equal(await h.text('#title'), 'SGLang \u00b7 name-7b');
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot live');
    assert.equal(await h.text('#urlLbl'), 'http://gpu-1:30000');
    assert.match(await h.text('#tsLbl'), /^updated \d{1,2}:\d\d:\d\d/);
  });

  it('draws the two fixed rows of an empty document with dashes, and the metrics hint', async () => {
    assert.deepEqual(await show({}), ['sg-row: run \u2014   queue \u2014', 'sg-row: tg \u2014 t/s   pp \u2014 t/s   gen \u2014 t/s',
      `sg-row sg-hint: ${HINT}`]);
    assert.equal(await h.text('#title'), 'SGLang \u00b7 SGLang');
    assert.equal(await h.text('#urlLbl'), '');
  });

  it('prints figures that are not numbers as NaN and counts them as 0 in formatters', async () => {
    assert.deepEqual(await show({ num_running_reqs: 'abc', num_queue_reqs: '4', max_running_reqs: 'x',
      gen_throughput: 'fast', max_total_num_tokens: 1000, token_usage: 'half', requests_total: 'n' }), [
      'sg-row: run NaN   queue 4   max NaN',
      'sg-row: tg 0.0 t/s   pp \u2014 t/s   gen \u2014 t/s',
      'sg-row: KV  \u2014/1K (NaN%)',
      '[sg-bar 0%]',
      'sg-row sg-dim: reqs 0   prompt \u2014   gen \u2014',
    ]);
  });

  it('colours the KV bar by the rounded percentage and clamps its width', async () => {
    const bars = [];
    for (const u of [0.69, 0.695, 0.75, 0.894, 0.95, 1.2, -0.5])
      bars.push(...(await show(doc({ token_usage: u, num_used_tokens: 0, max_total_num_tokens: 0 })))
        .filter((r) => r.startsWith('sg-row: KV') || r.startsWith('[')));
    assert.deepEqual(bars, [
      'sg-row: KV  0/0 (69%)', '[sg-bar 69%]',
      'sg-row: KV  0/0 (70%)', '[sg-bar warn 70%]',
      'sg-row: KV  0/0 (75%)', '[sg-bar warn 75%]',
      'sg-row: KV  0/0 (89%)', '[sg-bar warn 89%]',
      'sg-row: KV  0/0 (95%)', '[sg-bar full 95%]',
      'sg-row: KV  0/0 (120%)', '[sg-bar full 100%]',
    ]);
  });

  it('shows the cache and speculative-decoding rows from whichever members are numbers', async () => {
    const only = async (d) => (await show(d)).slice(2).filter((r) => !r.includes('sg-hint'));
    assert.deepEqual(await only({ cache_hit_rate_lifetime: 0.5 }), ['sg-row: cache \u2014 (life 50%)']);
    assert.deepEqual(await only({ cache_hit_rate: 0, cache_hit_rate_lifetime: '0.5' }), ['sg-row: cache 0%']);
    assert.deepEqual(await only({ cache_hit_rate: '0.5' }), []);
    assert.deepEqual(await only({ spec_accept_length: 3 }), ['sg-row: spec on   len 3.00']);
    assert.deepEqual(await only({ spec_algo: 'ngram', spec_accept_rate: 0.5 }), ['sg-row: spec ngram   acc 50%']);
    assert.deepEqual(await only({ spec_accept_rate: 0.5, ttft_ms: 0 }), ['sg-row sg-dim: ttft 0 ms']);
    assert.deepEqual(await only({ prompt_tokens_total: 5 }), ['sg-row sg-dim: reqs \u2014   prompt 5   gen \u2014']);
  });

  it('marks a document older than 20 seconds as stale', async () => {
    await show(doc({ updated_epoch: T_S - 20 }));
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot live');
    assert.equal(await h.page.getAttribute('#card', 'class'), 'card');
    await show(doc({ updated_epoch: T_S - 21 }));
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot stale');
    assert.equal(await h.page.getAttribute('#card', 'class'), 'card stale');
    assert.equal(await h.text('#title'), 'SGLang \u00b7 x-7b (stale)');
    await until(() => h.page.locator('#card').evaluate((c) => getComputedStyle(c).opacity === '0.6'), 'the card to fade');
    await show(doc({ updated_epoch: String(T_S - 100) }));
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot live', 'only a JSON number counts');
    await show(doc({ updated_epoch: T_S + 60 }));
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot live');
  });

  it('labels the badge by source and shows it in capitals', async () => {
    const badge = async (d, sid = 'demo') => {
      await h.page.evaluate(([x, s]) => { curSid = s; render(x); }, [d, sid]);
      return [await h.page.locator('#srcBadge').textContent(), await h.text('#srcBadge')];
    };
    assert.deepEqual(await badge(doc({ source: 'query' })), ['URL', 'URL']);
    assert.deepEqual(await badge(doc({ source: 'session', session: 'other' })), ['demo', 'DEMO']);
    assert.deepEqual(await badge(doc({ source: 'session', session: 'other' }), ''), ['other', 'OTHER']);
    assert.deepEqual(await badge(doc({ source: 'session', session: '' }), ''), ['session', 'SESSION']);
    assert.deepEqual(await badge(doc({ source: '' })), ['session', 'SESSION'], 'no source leaves the badge');
    await h.page.evaluate(() => { curSid = 'demo'; });
  });

  it('shows an error with its URL and leaves badge and time alone', async () => {
    await show(doc({ updated_epoch: T_S - 30 }));
    const before = [await h.text('#srcBadge'), await h.text('#tsLbl')];
    assert.deepEqual(await show({ ok: false, error: 'no SGLang metrics here', url: 'http://bad:1' }),
      ['sg-err: no SGLang metrics here']);
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot err');
    assert.equal(await h.page.getAttribute('#card', 'class'), 'card');
    assert.equal(await h.text('#title'), 'SGLang Monitor');
    assert.equal(await h.text('#urlLbl'), 'http://bad:1');
    assert.deepEqual([await h.text('#srcBadge'), await h.text('#tsLbl')], before);
    await show({ error: 'again' });
    assert.equal(await h.text('#urlLbl'), 'http://bad:1', 'an error without url keeps the label');
    assert.deepEqual(await show(null), ['sg-err: No SGLang metrics']);
  });

  it('draws e2e, request rate, aborted requests, 5xx share, version and the ranks', async () => {
    const rows = await show(doc({ num_running_reqs: 3, gen_throughput: 50, req_s: 12.44, token_usage: 0.5,
      max_total_num_tokens: 1000, e2e_ms: 2100.4, aborted_requests: 3, http_error_rate: 0.025, version: '0.5.1',
      dp: [{ rank: 0, num_running_reqs: 2, token_usage: 0.52 }, { rank: 1, num_running_reqs: 1, token_usage: 0.48 }],
      requests_total: 9 }));
    assert.deepEqual(rows, [
      'sg-row sg-hot: run 3   queue 0',
      'sg-row sg-hot: tg 50.0 t/s   pp \u2014 t/s   gen \u2014 t/s   req/s 12.4',
      'sg-row: KV  \u2014/1K (50%)',
      '[sg-bar 50%]',
      'sg-row: dp 2   run 2/1   KV 52/48%',
      'sg-row sg-dim: e2e 2100 ms',
      'sg-row sg-warn: aborted 3   5xx 2.5%',
      'sg-row sg-dim: reqs 9   prompt \u2014   gen \u2014',
    ]);
    assert.equal(await h.text('#verLbl'), 'SGLang 0.5.1');
    const quiet = await show(doc({ aborted_requests: 0, http_error_rate: 0, dp: [{ rank: 0, num_running_reqs: 1 }] }));
    assert.ok(!quiet.some((r) => r.includes('aborted') || r.includes('dp ')), quiet.join());
  });

  it('cuts no row at the card\'s width, and scrolls inside the card at 320 pixels', async () => {
    const lat = {};
    for (const k of ['ttft', 'itl', 'queue', 'e2e'])
      Object.assign(lat, { [`${k}_ms`]: 12345.6, [`${k}_p50_ms`]: 23456.7, [`${k}_p95_ms`]: 98765.4 });
    const full = doc({ model: 'org/family/name-70b-instruct', num_running_reqs: 1024, num_queue_reqs: 4096,
      max_running_reqs: 1024, gen_throughput: 12345.6, pp_tok_s: 123456, gen_tok_s: 12345, req_s: 123.4,
      token_usage: 0.987, num_used_tokens: 1234567, max_total_num_tokens: 9876543, context_len: 131072,
      cache_hit_rate: 0.634, cache_hit_rate_lifetime: 0.5, spec_algo: 'EAGLE3', spec_accept_length: 2.345,
      spec_accept_rate: 0.71, aborted_requests: 123456, http_error_rate: 0.125, window_s: 30, requests_total: 123456789,
      prompt_tokens_total: 123456789012, generation_tokens_total: 12345678901, ...lat,
      dp: Array.from({ length: 8 }, (_, rank) => ({ rank, num_running_reqs: 128, token_usage: 0.99 })) });
    await h.page.setViewportSize({ width: 720, height: 900 });
    const rows = await show(full);
    for (const k of ['ttft', 'itl', 'queue', 'e2e'])
      assert.ok(rows.some((r) => r.startsWith(`sg-row sg-dim: ${k.padEnd(6)}mean `) && /p50 \d.* p95 \d/.test(r)), k);
    const at = (text) => rows.findIndex((r) => r.includes(text));
    assert.ok(at('spec ') < at('latency') && at('latency') < at('aborted'), 'the latency rows in the latency row\'s place');
    const cut = await h.page.evaluate(() => {
      const right = document.getElementById('card').getBoundingClientRect().right;
      return [...document.querySelectorAll('#card .sg-row')].filter((r) => r.scrollWidth > r.clientWidth ||
        r.getBoundingClientRect().right > right).map((r) => r.textContent);
    });
    assert.deepEqual(cut, []);
    await h.page.setViewportSize({ width: 320, height: 900 });
    assert.deepEqual(await h.page.evaluate(() => {
      const c = document.getElementById('card');
      return [document.documentElement.scrollWidth, getComputedStyle(c).overflowX,
        c.scrollWidth >= Math.max(...[...c.querySelectorAll('.sg-row')].map((r) => r.scrollWidth))];
    }), [320, 'auto', true]);
    await h.page.setViewportSize({ width: 1280, height: 720 });
  });

  it('isolates text from outside from the page\'s direction', async () => {
    const isolated = (sels) => h.page.evaluate((list) => list.map((q) => getComputedStyle(document.querySelector(q)).unicodeBidi), sels);
    await show(doc({ model: 'org/\u202Eevil', source: 'session', version: '\u202E1' }));
    assert.deepEqual(await isolated(['#title bdi', '#srcBadge', '#verLbl']), ['isolate', 'isolate', 'isolate']);
    await show({ error: 'bad \u202E reason', detail: '\u202Edetail', url: 'http://\u202E' });
    assert.deepEqual(await isolated(['.sg-err', '.sg-detail', '#urlLbl']), ['isolate', 'isolate', 'isolate']);
  });

  it('writes text from an answer as text, never as markup', async () => {
    await show(doc({ model: 'org/<img src=x onerror="window.owned=1">', source: 'query',
      url: '<b>u</b>', spec_algo: '<i>s</i>' }));
    await show({ error: '<img src=y onerror="window.owned=2">', url: '<script>window.owned=3</script>' });
    assert.equal(await h.page.evaluate(() => document.querySelectorAll('.wrap img, .wrap b, .wrap i:not(.sg-bar>i), .wrap script').length), 0);
    assert.equal(await h.text('.sg-err'), '<img src=y onerror="window.owned=2">');
    assert.equal(await h.page.evaluate(() => window.owned), undefined);
  });
});

describe('polling', () => {
  const failure = { status: 502, json: { ok: false, error: 'no SGLang metrics at this URL' } };

  it('holds the last good card for 15 seconds after a success', () => withMonitor({
    query: 'id=demo', metrics: (u, i) => (i === 0 ? doc({ num_running_reqs: 7 }) : failure),
  }, async (h) => {
    const good = await cardRows(h);
    assert.equal(good[0], 'sg-row sg-hot: run 7   queue 0');
    await h.advance(10000);
    assert.equal(h.metricsRequests().length, 2);
    assert.deepEqual(await cardRows(h), good);
    await h.advance(6000);
    assert.equal(h.metricsRequests().length, 3);
    assert.deepEqual((await cardRows(h))[0], 'sg-err: no SGLang metrics at this URL');
  }));

  it('shows a forced failure at once, asking for fresh figures', () => withMonitor({
    query: 'id=demo', metrics: (u, i) => (i === 0 ? doc() : failure),
  }, async (h) => {
    await h.page.click('#btnRefresh');
    await h.idle();
    assert.equal(query(h.metricsRequests()[1]), 'action=metrics&id=demo&fresh=1');
    assert.deepEqual((await cardRows(h))[0], 'sg-err: no SGLang metrics at this URL');
  }));

  it('reports a network error at once before the first success, and 15 seconds after the last one', async () => {
    await withMonitor({ query: 'id=demo', metrics: () => ({ abort: true }) }, async (h) => {
      assert.deepEqual(await cardRows(h), ['sg-err: Network error polling SGLang metrics']);
    });
    await withMonitor({ query: 'id=demo', metrics: (u, i) => (i === 0 ? doc() : { abort: true }) }, async (h) => {
      const good = await cardRows(h);
      await h.page.click('#btnRefresh');
      await h.idle();
      await h.advance(5000);
      await h.advance(5000);
      await h.advance(5000);
      assert.equal(h.metricsRequests().length, 5);
      assert.deepEqual(await cardRows(h), good, 'held, a forced poll included');
      assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot live');
      await h.advance(5000);
      assert.equal((await cardRows(h))[0], 'sg-err: Network error polling SGLang metrics');
      assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot err');
    });
  });

  it('names the status when the answer is not a document', async () => {
    for (const [reply, want] of [[{ status: 200, text: 'Internal error' }, 'HTTP 200'],
      [{ status: 200, text: '42' }, 'HTTP 200'], [{ status: 500, text: '' }, 'HTTP 500'],
      [{ status: 503, json: { ok: true, model: 'x' } }, 'HTTP 503'],
      [{ status: 200, json: { ok: false, error: 'bad id' } }, 'bad id']]) {
      await withMonitor({ query: 'id=demo', metrics: () => reply }, async (h) => {
        assert.deepEqual(await cardRows(h), [`sg-err: ${want}`], JSON.stringify(reply));
        assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot err');
      });
    }
  });

  it('drops polls asked for while one is in flight', () => {
    const gate = deferred();
    return withMonitor({ query: 'id=demo', metrics: (u, i) => (i === 1 ? gate.promise : doc()) }, async (h) => {
      await h.page.clock.fastForward(5000);
      await until(() => h.metricsRequests().length === 2, 'the timer poll');
      await h.page.click('#btnRefresh');
      await h.page.clock.fastForward(5000);
      await h.page.click('#btnRefresh');
      gate.resolve(doc({ num_queue_reqs: 9 }));
      await h.idle();
      assert.equal(h.metricsRequests().length, 2);
      assert.equal((await cardRows(h))[0], 'sg-row: run 0   queue 9');
      await h.page.click('#btnRefresh');
      await h.idle();
      assert.equal(h.metricsRequests().length, 3, 'polls resume once the answer is in');
    });
  });

  it('gives up on a request that is never answered, and polls again', () => {
    const never = deferred();
    return withMonitor({
      query: 'id=demo', metrics: (u, i) => (i === 1 ? never.promise : doc({ num_queue_reqs: i })),
    }, async (h) => {
      await h.page.clock.fastForward(5000);
      await until(() => h.metricsRequests().length === 2, 'the timer poll');
      await h.page.clock.fastForward(25000);
      assert.equal(h.metricsRequests().length, 2, 'nothing more while it hangs');
      await h.page.clock.fastForward(6000);
      await h.page.clock.fastForward(5000);
      await until(() => h.metricsRequests().length === 3, 'polling to resume');
      await until(async () => (await cardRows(h))[0] === 'sg-row: run 0   queue 2', 'the new card');
      never.resolve(doc());
    });
  });

  it('polls every 5 seconds only while visible, and on becoming visible', () => withMonitor({ query: 'id=demo' }, async (h) => {
    const setVisibility = (state) => h.page.evaluate((s) => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => s });
      document.dispatchEvent(new Event('visibilitychange'));
    }, state);
    await h.advance(5000);
    await h.advance(5000);
    assert.equal(h.metricsRequests().length, 3);
    await setVisibility('hidden');
    await h.advance(5000);
    await h.advance(5000);
    assert.equal(h.metricsRequests().length, 3);
    await setVisibility('visible');
    await h.idle();
    assert.equal(h.metricsRequests().length, 4);
    assert.ok(h.metricsRequests().every((u) => !u.searchParams.has('fresh')));
  }));
});

describe('controls', () => {
  const sessions = { ok: true, sessions: [{ name: 'a', has_url: true }, { name: 'b', has_url: true }] };

  it('switches session, URL and back, forcing each new target', () => withMonitor({
    sessions, metrics: (u) => (u.searchParams.get('id') === 'b' ? { status: 502, json: { ok: false, error: 'b is down' } } : doc()),
  }, async (h) => {
    await h.page.fill('#urlIn', '  http://gpu-9:1  ');
    await h.page.click('#btnGo');
    await h.idle();
    await h.page.selectOption('#sessSel', 'b');
    await h.idle();
    assert.equal(await h.page.inputValue('#urlIn'), '');
    assert.deepEqual(await cardRows(h), ['sg-err: b is down']);
    await h.page.fill('#urlIn', 'http://gpu-9:2');
    await h.page.press('#urlIn', 'Enter');
    await h.idle();
    await h.page.fill('#urlIn', ' ');
    await h.page.click('#btnGo');
    await h.idle();
    assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=a',
      'action=metrics&url=http%3A%2F%2Fgpu-9%3A1&fresh=1', 'action=metrics&id=b&fresh=1',
      'action=metrics&url=http%3A%2F%2Fgpu-9%3A2&fresh=1', 'action=metrics&id=b&fresh=1']);
  }));

  it('shows the hint when the URL is cleared and no session is chosen', () => withMonitor({
    sessions: { ok: true, sessions: [] }, query: 'url=http%3A%2F%2Fgpu-2%3A1',
  }, async (h) => {
    await h.page.fill('#urlIn', '');
    await h.page.click('#btnGo');
    await h.idle();
    assert.deepEqual(await cardRows(h), ['sg-err: Pick a session above or enter an SGLang server URL.']);
    assert.equal(h.metricsRequests().length, 1);
  }));

  it('drops an answer for the previous target and asks for the new one at once', () => {
    const gate = deferred();
    const gone = { status: 502, json: { ok: false, error: 'gone' } };
    return withMonitor({ sessions, metrics: (u, i) => (i === 0 ? doc() : i === 1 ? gate.promise : gone) }, async (h) => {
      await h.page.clock.fastForward(5000);
      await until(() => h.metricsRequests().length === 2, 'the timer poll');
      await h.page.selectOption('#sessSel', 'b');
      assert.equal(await h.page.evaluate(() => cur.lastOk), 0);
      /* a's late success is neither drawn under b nor taken as b's. */
      gate.resolve(doc({ num_queue_reqs: 7 }));
      await until(() => h.metricsRequests().length === 3, 'the poll for b');
      await h.idle();
      assert.deepEqual(h.metricsRequests().map(query), ['action=metrics&id=a', 'action=metrics&id=a',
        'action=metrics&id=b&fresh=1']);
      assert.deepEqual(await cardRows(h), ['sg-err: gone'], 'the first failure of b shows at once');
    });
  });
});
