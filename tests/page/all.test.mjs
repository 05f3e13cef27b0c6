// The all-sessions view (view=all): one row per session with an endpoint,
// polled in turn over the poll period within a bound on requests in
// flight, each row a link to its session's card.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openMonitor, withOpenMonitor, doc, until, sleep, deferred, T_S, PAGE_PATH } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const NAMES = ['a', 'b', 'c', 'd', 'e'];
const REFUSED = 'my project';
const SESSIONS = { ok: true, sessions: [...NAMES.map((name) => ({ name, has_url: true })), { name: 'x', has_url: false },
  { name: REFUSED, has_url: true }] };
const REFUSAL = 'name not accepted: a session name may hold only ASCII letters, digits and - . : _ (1 to 160 of them, without "..")';

// a, d and e are live, b fails while bDown, c has requests queued with none running.
let bDown = true;
function fleet(u, i) {
  const id = u.searchParams.get('id');
  if (id === 'b' && bDown)
    return { status: 502, json: { ok: false, error: 'no SGLang metrics at this URL', detail: 'cannot reach the server: refused' } };
  if (id === 'c')
    return doc({ updated_epoch: T_S + i, num_queue_reqs: 4, model: 'org/c-70b' });
  return doc({ updated_epoch: T_S + i, num_running_reqs: 1, gen_throughput: 42.5, token_usage: 0.42 });
}

const withAll = (opts, fn) =>
  withOpenMonitor(browser, { query: 'view=all', sessions: SESSIONS, metrics: fleet, ...opts }, fn);

const ids = (h) => h.metricsRequests().map((u) => u.searchParams.get('id'));
const rows = (h) => h.page.evaluate(() => [...document.querySelectorAll('#card .all-row')].map((r) => ({
  name: r.querySelector('.ar-name').textContent,
  word: r.querySelector('.status').textContent,
  dot: r.querySelector('.dot').className,
  text: [...r.children].filter((c) => c.tagName === 'SPAN').map((c) => c.textContent).join('|'),
  spark: r.querySelectorAll('svg.spark').length,
})));

describe('the all-sessions view', () => {
  it('puts the worst first, counts the words, and gives reasons in the rows', () => withAll({}, async (h) => {
    assert.deepEqual((await rows(h)).map((r) => [r.name, r.word]), [['a', 'live'], ['b', 'loading'], ['c', 'loading'],
      ['d', 'loading'], ['e', 'loading'], [REFUSED, 'skipped'], ['x', 'skipped']]);
    for (let i = 0; i < 10; i++)
      await h.advance(1000);
    const got = await rows(h);
    assert.deepEqual(got.map((r) => [r.name, r.word, r.dot]), [['b', 'error', 'dot err'], ['c', 'stalled', 'dot stalled'],
      ['a', 'live', 'dot live'], ['d', 'live', 'dot live'], ['e', 'live', 'dot live'], [REFUSED, 'skipped', 'dot'],
      ['x', 'skipped', 'dot']]);
    assert.equal(got[2].text, 'a|live|x-7b|run 1 queue 0|42.5 t/s|KV 42%');
    assert.equal(got[0].text, 'b|error|cannot reach the server: refused');
    assert.equal(got[1].text, 'c|stalled|c-70b|run 0 queue 4|\u2014 t/s|KV \u2014%');
    assert.equal(got[5].text, `${REFUSED}|skipped|${REFUSAL}`);
    assert.equal(got[6].text, 'x|skipped|no endpoint');
    assert.ok(got.filter((r) => !['error', 'skipped'].includes(r.word)).every((r) => r.spark === 1));
    assert.equal(await h.page.getAttribute('#card .all-row:first-child .ar-err', 'title'), 'no SGLang metrics at this URL');
    const counts = '1 error \u00b7 1 stalled \u00b7 3 live \u00b7 2 skipped';
    assert.equal(await h.text('#statusWord'), counts);
    assert.equal(await h.page.evaluate(() => document.title), `${counts} \u00b7 all sessions \u00b7 SGLang Monitor \u00b7 QUORVANE BOT`);
    assert.equal(await h.page.getAttribute('#dot', 'class'), 'dot err');
    assert.equal(await h.page.isVisible('#sessSel'), false);
    assert.ok(h.metricsRequests().every((u) => u.searchParams.get('id') !== REFUSED), 'a refused name is never asked for');

    // A row moves when its word changes, and only then.
    const order = async () => (await rows(h)).map((r) => r.name).join(' ');
    for (let i = 0; i < 5; i++)
      await h.advance(1000);
    assert.equal(await order(), `b c a d e ${REFUSED} x`);
    bDown = false;
    for (let i = 0; i < 5; i++)
      await h.advance(1000);
    bDown = true;
    assert.equal(await order(), `c a b d e ${REFUSED} x`);
  }));

  it('shows names whole and uses the window\'s width', () => withAll({
    sessions: { ok: true, sessions: [{ name: 'server-d-with-a-rather-long-name-0123456789', has_url: true }, { name: 'b', has_url: true }] },
  }, async (h) => {
    await h.page.setViewportSize({ width: 1400, height: 600 });
    for (let i = 0; i < 5; i++)
      await h.advance(1000);
    const got = await h.page.evaluate(() => {
      const name = [...document.querySelectorAll('.ar-name')].find((n) => n.textContent.startsWith('server'));
      return [name.scrollWidth <= name.clientWidth, name.textContent, Math.round(document.querySelector('.wrap').getBoundingClientRect().width)];
    });
    assert.deepEqual(got, [true, 'server-d-with-a-rather-long-name-0123456789', 1200]);
  }));

  it('polls the rows in turn over the five seconds, from the cache', () => withAll({}, async (h) => {
    assert.deepEqual(ids(h), ['a']);
    for (let i = 0; i < 9; i++)
      await h.advance(1000);
    assert.deepEqual(ids(h), ['a', 'b', 'c', 'd', 'e', 'a', 'b', 'c', 'd', 'e']);
    assert.ok(h.metricsRequests().every((u) => !u.searchParams.has('fresh')));
    await h.page.keyboard.press('r');
    for (let i = 0; i < 5; i++)
      await h.advance(1000);
    assert.deepEqual(h.metricsRequests().slice(10).map((u) => [u.searchParams.get('id'), u.searchParams.get('fresh')]),
      [['a', '1'], ['b', '1'], ['c', '1'], ['d', '1'], ['e', '1']], 'r forces a fresh round');
  }));

  it('keeps one request in flight per session and four overall', async () => {
    const gates = [];
    let open = false;
    let out = 0;
    let most = 0;
    const perSession = {};
    const metrics = (u, i) => {
      const id = u.searchParams.get('id');
      const gate = deferred();
      out++;
      most = Math.max(most, out);
      perSession[id] = (perSession[id] || 0) + 1;
      assert.ok(perSession[id] <= 1, `two requests out for ${id}`);
      if (open)
        gate.resolve();
      gates.push(gate);
      return gate.promise.then(() => { out--; perSession[id]--; return fleet(u, i); });
    };
    const h = await openMonitor(browser, { query: 'view=all', sessions: SESSIONS, metrics, waitIdle: false });
    try {
      await until(() => h.metricsRequests().length === 1, 'the first poll');
      for (let i = 0; i < 9; i++) {
        await h.page.clock.fastForward(1000);
        await sleep(30);
      }
      await until(() => h.metricsRequests().length === 4, 'four requests');
      await sleep(200);
      assert.deepEqual(ids(h), ['a', 'b', 'c', 'd'], 'e waits for a free place; a, b, c, d wait for their answers');
      open = true;
      gates.forEach((g) => g.resolve());
      await h.idle();
      for (let i = 0; i < 5; i++)
        await h.advance(1000);
      assert.ok(most <= 4, `at most four out, saw ${most}`);
      assert.ok(ids(h).slice(4).includes('e'), 'e gets its turn once places are free');
      assert.deepEqual(h.errors, []);
    } finally {
      gates.forEach((g) => g.resolve());
      await h.close();
    }
  });

  it('sends nothing while the page is hidden', () => withAll({}, async (h) => {
    const setVisibility = (state) => h.page.evaluate((s) => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => s });
      document.dispatchEvent(new Event('visibilitychange'));
    }, state);
    await setVisibility('hidden');
    const before = h.metricsRequests().length;
    for (let i = 0; i < 10; i++)
      await h.advance(1000);
    assert.equal(h.metricsRequests().length, before);
    await setVisibility('visible');
    await h.advance(1000);
    assert.equal(h.metricsRequests().length, before + 1);
  }));

  it('opens the card of a row on a click or on Enter, keeping the host parameters', async () => {
    for (const how of ['click', 'Enter']) {
      await withAll({ query: 'pwd=pw&view=all&theme=light' }, async (h) => {
        const row = h.page.locator('#card .all-row', { hasText: 'd' }).filter({ has: h.page.locator('.ar-name', { hasText: /^d$/ }) });
        if (how === 'click') {
          await row.click();
        } else {
          await row.focus();
          await h.page.keyboard.press('Enter');
        }
        await until(() => new URL(h.page.url()).searchParams.get('id') === 'd', 'the card page');
        const url = new URL(h.page.url());
        assert.equal(url.pathname, PAGE_PATH);
        assert.equal(url.search, '?pwd=pw&theme=light&id=d');
        await h.idle();
        assert.equal(await h.page.inputValue('#sessSel'), 'd');
      });
    }
  });

  it('fits 320 pixels, embedded', () => withAll({ query: 'view=all&embed=1' }, async (h) => {
    await h.page.setViewportSize({ width: 320, height: 600 });
    for (let i = 0; i < 5; i++)
      await h.advance(1000);
    const width = await h.page.evaluate(() => [document.documentElement.scrollWidth,
      Math.max(...[...document.querySelectorAll('.all-row')].map((r) => r.getBoundingClientRect().right))]);
    assert.ok(width[0] <= 320 && width[1] <= 320, String(width));
    assert.equal((await rows(h)).length, 7);
  }));
});

describe('the link to the all-sessions view', () => {
  it('shows on the card page when two sessions have an endpoint', async () => {
    const h = await openMonitor(browser, { query: 'pwd=pw&id=a&theme=dark', sessions: SESSIONS, metrics: fleet });
    try {
      assert.equal(await h.page.isVisible('#allLink'), true);
      assert.equal(await h.page.getAttribute('#allLink', 'href'), `${PAGE_PATH}?pwd=pw&theme=dark&view=all`);
    } finally {
      await h.close();
    }
    const one = await openMonitor(browser, { query: 'id=a', sessions: { ok: true, sessions: [{ name: 'a', has_url: true },
      { name: 'x', has_url: false }] } });
    try {
      assert.equal(await one.page.isVisible('#allLink'), false);
    } finally {
      await one.close();
    }
  });
});
