// The status the card gives beside its dot: reasons for failures,
// retrying, stalled, restarted, unknown figures, and the ways to read and
// drive the page without a mouse or without sight.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { launch, withOpenMonitor, doc, cardRows, until, T_S } from './harness.mjs';

const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const withMonitor = (opts, fn) => withOpenMonitor(browser, { query: 'id=demo', ...opts }, fn);

// Answers the polls in turn from replies, the last one for every later
// poll; each document is a new probe, five seconds after the one before.
const inTurn = (...replies) => (u, i) => {
  const r = replies[Math.min(i, replies.length - 1)];
  return r && r.ok ? { ...r, updated_epoch: T_S + 5 * i } : r;
};

const status = (h) => h.page.evaluate(() => ({
  word: document.getElementById('statusWord').textContent,
  dot: document.getElementById('dot').className,
  tab: document.title,
  ts: document.getElementById('tsLbl').textContent,
  age: document.getElementById('ageLbl').textContent,
  icon: document.querySelector('link[rel=icon]')?.getAttribute('href') || '',
  said: document.getElementById('announce').textContent,
}));

// The card without its sparklines.
const message = async (h) => (await cardRows(h)).filter((r) => !r.startsWith('sg-sparks'));

const fail = (error, detail) => ({ status: 502, json: { ok: false, error, url: 'http://gpu-1:30000',
  ...(detail === undefined ? {} : { detail }) } });

describe('the reason for a failure', () => {
  const reasons = [
    'cannot reach the server: Connection refused',
    'HTTP 401 from /v1/models: server requires an API key (set SGLANG_API_KEY)',
    'not an SGLang server: it answers with web pages',
    'the metrics companion did not finish within its time limit',
    'the metrics companion could not be started: C:\\tools\\quorvane-sglang-metrics.exe',
    '<b>markup</b> stays text',
  ];
  it('shows the detail of each companion reason under the error, as text', () => withMonitor({
    metrics: (u, i) => fail('no SGLang metrics at this URL', reasons[Math.min(i, reasons.length - 1)]),
  }, async (h) => {
    for (let i = 0; i < reasons.length; i++) {
      if (i > 0) {
        await h.page.click('#btnRefresh');
        await h.idle();
      }
      assert.deepEqual(await message(h), ['sg-err: no SGLang metrics at this URL', `sg-detail: ${reasons[i]}`]);
    }
    assert.equal(await h.page.locator('#card b').count(), 0);
    assert.equal((await status(h)).word, 'error');
  }));

  it('shows no second line when the answer has no detail, or an empty one', () => withMonitor({
    metrics: inTurn(fail('no SGLang metrics at this URL'), fail('no SGLang metrics at this URL', '')),
  }, async (h) => {
    assert.deepEqual(await message(h), ['sg-err: no SGLang metrics at this URL']);
    await h.page.click('#btnRefresh');
    await h.idle();
    assert.deepEqual(await message(h), ['sg-err: no SGLang metrics at this URL']);
  }));
});

describe('the status word', () => {
  it('is loading until the first answer, then heads the tab title', () => withMonitor({}, async (h) => {
    const markup = await h.page.evaluate(() => fetch(location.href).then((r) => r.text()));
    assert.match(markup, /<span class='status st-loading' id='statusWord'>loading<\/span>/);
    const s = await status(h);
    assert.deepEqual([s.word, s.tab, s.said], ['live', 'live \u00b7 demo \u00b7 SGLang Monitor \u00b7 QUORVANE BOT', 'Status live']);
    assert.equal(await h.text('#title'), 'SGLang \u00b7 x-7b', 'the page title keeps its text');
  }));

  it('says retrying through the hold, then keeps the outage in view: reason, since when, sparklines, footer', () => {
    const down = fail('no SGLang metrics at this URL', 'cannot reach the server: timeout');
    return withMonitor({ metrics: inTurn(doc({ num_running_reqs: 2 }), doc(), down, down, down, down, down, doc()) }, async (h) => {
      await h.advance(5000);
      const good = await cardRows(h);
      const updated = (await status(h)).ts;
      await h.advance(5000);
      let s = await status(h);
      assert.deepEqual([s.word, s.dot, s.age, s.ts, s.tab.split(' ')[0]],
        ['retrying', 'dot live', 'polls failing \u00b7 last answer 5 s ago', updated, 'retrying']);
      assert.deepEqual(await cardRows(h), good, 'the last good figures stay');
      await h.advance(5000);
      await h.advance(5000);
      assert.equal((await status(h)).word, 'retrying', '15 s is still inside the hold');
      await h.advance(5000);
      s = await status(h);
      assert.deepEqual([s.word, s.dot, s.age, s.ts], ['error', 'dot err', 'polls failing \u00b7 last answer 20 s ago', updated]);
      assert.equal(s.said, 'Status error: no SGLang metrics at this URL: cannot reach the server: timeout');
      const rows = await cardRows(h);
      assert.deepEqual(rows.slice(0, 2), ['sg-err: no SGLang metrics at this URL', 'sg-detail: cannot reach the server: timeout']);
      assert.match(rows[2], /^sg-since: failing since \d{1,2}:\d\d:10\b.* \(15 s\)$/);
      assert.match(rows[3], /^sg-sparks: generation/);
      assert.ok(await h.page.locator('#card .sg-spark:first-child rect.sp-gap').count() === 1, 'the failing stretch is shaded');
      await h.advance(5000);
      assert.equal((await status(h)).age, 'polls failing \u00b7 last answer 25 s ago');
      assert.match((await cardRows(h))[2], /\(20 s\)$/);
      await h.advance(5000);
      s = await status(h);
      assert.deepEqual([s.word, s.age], ['live', '']);
      assert.notEqual(s.ts, updated);
    });
  });

  it('ends a dead host in the network error 15 seconds after the last answer, the footer counting on', () => withMonitor({
    metrics: inTurn(doc(), { abort: true }),
  }, async (h) => {
    await h.advance(5000);
    let s = await status(h);
    assert.deepEqual([s.word, s.dot, s.age], ['retrying', 'dot live', 'polls failing \u00b7 last answer 5 s ago']);
    for (let i = 0; i < 3; i++)
      await h.advance(5000);
    s = await status(h);
    assert.deepEqual([s.word, s.dot, s.age], ['error', 'dot err', 'polls failing \u00b7 last answer 20 s ago']);
    assert.equal((await cardRows(h))[0], 'sg-err: Network error polling SGLang metrics');
    for (let i = 0; i < 20; i++)
      await h.advance(5000);
    assert.equal((await status(h)).age, 'polls failing \u00b7 last answer 2 m 0 s ago');
    assert.match((await cardRows(h))[1], /^sg-since: failing since .* \(1 m 55 s\)$/);
  }));
});

describe('the tab', () => {
  const colour = (s) => (/fill='(#[0-9a-f]+)'/.exec(decodeURIComponent(s.icon)) || [])[1];

  it('names the target after the word, and shows the word as a dot in its colour', () => withMonitor({
    query: 'url=http%3A%2F%2Fgpu-2%3A1', metrics: inTurn(doc(), { status: 502, json: { ok: false, error: 'down' } }),
  }, async (h) => {
    let s = await status(h);
    assert.equal(s.tab, 'live \u00b7 http://gpu-2:1 \u00b7 SGLang Monitor \u00b7 QUORVANE BOT');
    assert.equal(colour(s), '#30d158');
    await h.page.click('#btnRefresh');
    await h.idle();
    s = await status(h);
    assert.deepEqual([s.tab.split(' \u00b7 ')[0], colour(s)], ['error', '#ff453a']);
    assert.equal(await h.page.locator('link[rel=icon]').count(), 1);
    assert.deepEqual(h.others, [], 'no favicon file is asked for');
  }));

  const fakeNotification = `window.__notes = [];
    window.Notification = function (title, o) { __notes.push(title + ': ' + o.body); };
    Notification.permission = sessionStorage.getItem('permission') || 'default';
    Notification.requestPermission = () => {
      Notification.permission = 'granted';
      sessionStorage.setItem('permission', 'granted');
      return Promise.resolve('granted');
    };`;
  const queued = doc({ num_queue_reqs: 3 });

  it('notifies, once the bell is on, when the target stalls or fails; remembered, and hidden when embedded', () => withMonitor({
    initScript: fakeNotification, metrics: inTurn(doc(), queued, queued, fail('down', 'refused')),
  }, async (h) => {
    const bell = () => h.page.evaluate(() => [!document.getElementById('btnBell').hidden,
      document.getElementById('btnBell').getAttribute('aria-pressed'), localStorage.getItem('qv_notify')]);
    assert.deepEqual(await bell(), [true, 'false', null], 'off by default');
    await h.page.click('#btnBell');
    await until(async () => (await bell())[1] === 'true', 'the bell to turn on');
    assert.equal((await bell())[2], '1');
    await h.advance(5000);
    await h.advance(5000);
    await h.page.click('#btnRefresh');
    await h.idle();
    assert.deepEqual(await h.page.evaluate(() => __notes), ['stalled \u00b7 demo: 3 requests queued, none running',
      'error \u00b7 demo: down: refused']);
    await h.page.reload();
    await h.idle();
    assert.deepEqual(await bell(), [true, 'true', '1']);
    await h.page.click('#btnBell');
    assert.deepEqual(await bell(), [true, 'false', '0']);
  }));

  it('has no bell when embedded', () => withMonitor({ query: 'id=demo&embed=1', initScript: fakeNotification }, async (h) => {
    assert.equal(await h.page.isVisible('#btnBell'), false);
  }));
});

describe('stalled', () => {
  const queued = doc({ num_running_reqs: 0, num_queue_reqs: 3, generation_tokens_total: 50 });
  const moving = doc({ num_running_reqs: 1, num_queue_reqs: 2, generation_tokens_total: 60 });

  it('marks requests queued with none running over two polls, and returns to live', () => withMonitor({
    metrics: inTurn(queued, queued, queued, moving),
  }, async (h) => {
    assert.equal((await status(h)).word, 'live', 'one poll is not a stall');
    await h.advance(5000);
    let s = await status(h);
    assert.deepEqual([s.word, s.dot, s.tab.split(' ')[0]], ['stalled', 'dot stalled', 'stalled']);
    assert.equal((await cardRows(h))[0], 'sg-row sg-note: stalled: 3 requests queued, none running');
    assert.equal(s.said, 'Status stalled: 3 requests queued, none running');
    await h.advance(5000);
    assert.equal((await status(h)).word, 'stalled');
    await h.advance(5000);
    s = await status(h);
    assert.deepEqual([s.word, s.dot], ['live', 'dot live']);
    assert.equal((await cardRows(h))[0], 'sg-row sg-hot: run 1   queue 2');
  }));

  it('marks requests running while no token moves over three polls, and returns to live', () => {
    const frozen = doc({ num_running_reqs: 4, generation_tokens_total: 1000 });
    return withMonitor({
      metrics: inTurn(frozen, frozen, frozen, doc({ num_running_reqs: 4, generation_tokens_total: 1010 })),
    }, async (h) => {
      await h.advance(5000);
      assert.equal((await status(h)).word, 'live', 'two polls are not a stall');
      await h.advance(5000);
      assert.equal((await status(h)).word, 'stalled');
      assert.equal((await cardRows(h))[0], 'sg-row sg-note: stalled: 4 requests running, no token generated in 3 polls');
      await h.advance(5000);
      assert.equal((await status(h)).word, 'live');
    });
  });

  it('does not count the same probe served again from the cache', () => {
    const frozen = doc({ num_running_reqs: 4, generation_tokens_total: 1000, updated_epoch: T_S });
    return withMonitor({ metrics: () => frozen }, async (h) => {
      await h.advance(5000);
      await h.advance(5000);
      await h.advance(5000);
      assert.equal((await status(h)).word, 'live');
    });
  });
});

describe('restarted', () => {
  const before = doc({ requests_total: 900, prompt_tokens_total: 5e6, generation_tokens_total: 8e5, pp_tok_s: 100 });
  const after = doc({ requests_total: 2, prompt_tokens_total: 300, generation_tokens_total: 40, pp_tok_s: -9e4, gen_tok_s: 8 });

  it('shows restarted for a minute when a total goes down, without a negative rate', () => withMonitor({
    metrics: inTurn(before, after, doc({ requests_total: 3, prompt_tokens_total: 400, generation_tokens_total: 50 })),
  }, async (h) => {
    await h.advance(5000);
    const rows = await cardRows(h);
    assert.equal((await status(h)).word, 'restarted');
    assert.match(rows[0], /^sg-row sg-note: restarted at \d{1,2}:\d\d:\d\d/);
    assert.equal(rows[2], 'sg-row: tg \u2014 t/s   pp \u2014 t/s   gen 8 t/s');
    for (let i = 0; i < 11; i++)
      await h.advance(5000);
    assert.equal((await status(h)).word, 'restarted');
    await h.advance(5000);
    assert.equal((await status(h)).word, 'live');
    assert.ok(!(await cardRows(h)).some((r) => r.includes('restarted')));
  }));

  it('takes the restarted member of the document', () => withMonitor({
    metrics: inTurn(doc(), doc({ restarted: true })),
  }, async (h) => {
    await h.advance(5000);
    assert.equal((await status(h)).word, 'restarted');
  }));
});

describe('unknown figures', () => {
  it('draws an absent rate as a dash next to a real 0, and hints at the metrics page', () => withMonitor({
    metrics: () => doc({ gen_throughput: 0, pp_tok_s: 0 }),
  }, async (h) => {
    assert.deepEqual(await cardRows(h), ['sg-row: run 0   queue 0', 'sg-row: tg 0.0 t/s   pp 0 t/s   gen \u2014 t/s']);
    await h.page.evaluate((d) => render(d), doc({ gen_throughput: 1.5 }));
    assert.deepEqual(await cardRows(h), ['sg-row: run 0   queue 0', 'sg-row sg-hot: tg 1.5 t/s   pp \u2014 t/s   gen \u2014 t/s',
      'sg-row sg-hint: No rates, latencies or totals: start SGLang with --enable-metrics']);
    await h.page.evaluate((d) => render(d), doc({ requests_total: 0 }));
    assert.ok(!(await cardRows(h)).some((r) => r.includes('sg-hint')), 'a total of 0 is a figure');
  }));

  it('draws no bar when the usage is unknown', () => withMonitor({
    metrics: () => doc({ max_total_num_tokens: 65536, num_used_tokens: 0 }),
  }, async (h) => {
    const rows = await cardRows(h);
    assert.equal(rows[2], 'sg-row: KV  0/66K (\u2014%)');
    assert.ok(!rows.some((r) => r.startsWith('[sg-bar')));
  }));
});

describe('reading and driving the page', () => {
  it('explains every abbreviation of the card in its tooltip and description', () => withMonitor({
    metrics: () => doc({ num_running_reqs: 1, max_running_reqs: 8, gen_throughput: 5, pp_tok_s: 1, gen_tok_s: 2,
      token_usage: 0.5, max_total_num_tokens: 100, context_len: 4096, cache_hit_rate: 0.5, spec_accept_length: 2,
      spec_accept_rate: 0.4, itl_ms: 1, ttft_ms: 2, queue_ms: 3, e2e_ms: 9, ttft_p50_ms: 2, window_s: 30, requests_total: 1,
      req_s: 1, aborted_requests: 1, http_error_rate: 0.1, dp: [{ rank: 0 }, { rank: 1 }] }),
  }, async (h) => {
    const rows = await h.page.evaluate(() => [...document.querySelectorAll('#card .sg-row')].map((r) => {
      const ids = (r.getAttribute('aria-describedby') || '').split(' ').filter(Boolean);
      return { text: r.textContent, title: r.title, found: ids.every((id) => document.getElementById(id)), n: ids.length };
    }));
    assert.equal(rows.length, 13);
    for (const r of rows) {
      assert.ok(r.n > 0 && r.found, r.text);
      const terms = r.title.split('\n').map((l) => l.split(':')[0]);
      assert.equal(terms.length, r.n, r.title);
    }
    assert.match(rows[1].title, /^tg: generation throughput/);
    const ttft = rows.find((r) => r.text.startsWith('ttft'));
    assert.match(ttft.title, /^ttft: time to first token/);
    assert.match(ttft.title, /p50, p95: /);
    assert.match(rows.find((r) => r.text.startsWith('aborted')).title, /^aborted: .*\n5xx: /);
  }));

  it('follows the keys r, t and ?, but not while typing', () => withMonitor({}, async (h) => {
    await h.page.keyboard.press('r');
    await h.idle();
    assert.equal(h.metricsRequests().length, 2);
    assert.equal(h.metricsRequests()[1].searchParams.get('fresh'), '1');
    await h.page.focus('#urlIn');
    await h.page.keyboard.type('rt?');
    await h.idle();
    assert.equal(await h.page.inputValue('#urlIn'), 'rt?');
    assert.equal(h.metricsRequests().length, 2, 'r typed into the field is text');
    await h.page.locator('#btnRefresh').focus();
    const theme = () => h.page.evaluate(() => document.documentElement.getAttribute('data-theme'));
    await h.page.keyboard.press('t');
    assert.equal(await theme(), 'light');
    await h.page.keyboard.press('Control+t');
    assert.equal(await theme(), 'light', 'not with a modifier');
    await h.page.keyboard.press('?');
    assert.equal(await h.page.isVisible('#legend'), true);
    assert.equal(await h.page.getAttribute('#btnHelp', 'aria-expanded'), 'true');
    assert.match(await h.text('#legend'), /r refresh, t theme/);
    await h.page.keyboard.press('Escape');
    assert.equal(await h.page.isVisible('#legend'), false);
    await h.page.click('#btnHelp');
    assert.equal(await h.page.isVisible('#legend'), true);
  }));

  it('leaves the theme to the host when embedded', () => withMonitor({ query: 'id=demo&embed=1&theme=dark' }, async (h) => {
    await h.page.keyboard.press('t');
    assert.equal(await h.page.evaluate(() => document.documentElement.getAttribute('data-theme')), 'dark');
  }));

  it('announces each change of status once, in one live region', () => {
    const queued = doc({ num_running_reqs: 0, num_queue_reqs: 3 });
    return withMonitor({ metrics: inTurn(doc(), doc(), queued, queued, queued, doc()) }, async (h) => {
      assert.equal(await h.page.locator('[aria-live]').count(), 1);
      await h.page.evaluate(() => {
        window.__said = [];
        new MutationObserver(() => __said.push(document.getElementById('announce').textContent))
          .observe(document.getElementById('announce'), { childList: true, characterData: true, subtree: true });
      });
      assert.equal((await status(h)).said, 'Status live');
      for (let i = 0; i < 5; i++)
        await h.advance(5000);
      assert.deepEqual(await h.page.evaluate(() => __said),
        ['Status stalled: 3 requests queued, none running', 'Status live']);
    });
  });

  it('has one main landmark holding the page and a level-one heading', () => withMonitor({}, async (h) => {
    assert.deepEqual(await h.page.evaluate(() => [document.querySelectorAll('[role=main]').length,
      document.querySelector('[role=main]').contains(document.getElementById('card')),
      document.querySelector('[role=heading][aria-level="1"]').id]), [1, true, 'title']);
  }));

  it('shows a focus ring on every control', () => withMonitor({}, async (h) => {
    const rings = [];
    for (const id of ['btnRefresh', 'btnHelp', 'themeToggle', 'sessSel', 'urlIn', 'btnGo']) {
      await h.page.locator(`#${id}`).focus();
      await h.page.keyboard.press('Shift');
      rings.push(await h.page.locator(`#${id}`).evaluate((e) => {
        const cs = getComputedStyle(e);
        return cs.outlineStyle !== 'none' && cs.outlineWidth !== '0px' ? 'outline' : cs.boxShadow !== 'none' ? 'shadow' : 'none';
      }));
    }
    assert.ok(rings.every((r) => r !== 'none'), rings.join());
  }));
});

describe('accessibility checks', () => {
  const states = {
    live: { metrics: () => doc({ num_running_reqs: 2, gen_throughput: 40, token_usage: 0.5, max_total_num_tokens: 1000,
      cache_hit_rate: 0.4, ttft_ms: 100, requests_total: 5 }) },
    error: { metrics: () => fail('no SGLang metrics at this URL', 'cannot reach the server: Connection refused') },
    stalled: { metrics: inTurn(doc({ num_queue_reqs: 2 })), steps: 1 },
    embedded: { query: 'id=demo&embed=1', metrics: () => doc({ num_running_reqs: 1, gen_throughput: 9 }) },
    'two sessions': { sessions: { ok: true, sessions: [{ name: 'demo', has_url: true }, { name: 'b', has_url: true }] },
      metrics: () => doc({ num_running_reqs: 1 }) },
    'all sessions': { query: 'view=all', sessions: { ok: true, sessions: [{ name: 'demo', has_url: true },
      { name: 'b', has_url: true }, { name: 'c', has_url: false }, { name: 'd e', has_url: true }] }, steps: 2,
      metrics: (u, i) => (u.searchParams.get('id') === 'b' ? fail('no SGLang metrics at this URL', 'refused') : doc()) },
    'error with history': { metrics: inTurn(doc({ gen_throughput: 4 }), doc({ gen_throughput: 5, restarted: true }),
      fail('no SGLang metrics at this URL', 'cannot reach the server: Connection refused')), steps: 5 },
  };
  for (const theme of ['dark', 'light']) {
    for (const [name, s] of Object.entries(states)) {
      it(`${name}, ${theme}: no serious or critical violation`, () => withMonitor({
        query: `${s.query || 'id=demo'}&theme=${theme}`, metrics: s.metrics, sessions: s.sessions,
      }, async (h) => {
        for (let i = 0; i < (s.steps || 0); i++)
          await h.advance(5000);
        const word = (await status(h)).word;
        if (name === 'stalled' || name === 'error with history')
          assert.equal(word, name.split(' ')[0]);
        if (name === 'two sessions')
          assert.equal(await h.page.isVisible('#allLink'), true);
        if (name === 'error with history')
          assert.equal(await h.page.locator('#card .sg-spark').count(), 4);
        await h.page.evaluate(() => toggleLegend(true));
        await h.page.addScriptTag({ path: AXE });
        // The checker waits on timers of its own: let the clock run.
        await h.page.clock.resume();
        const found = await h.page.evaluate(async () => (await axe.run(document, { resultTypes: ['violations'] }))
          .violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
          .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ') + ' ' + (n.failureSummary || '')).join('; ')}`));
        assert.deepEqual(found, []);
      }));
    }
  }
});
