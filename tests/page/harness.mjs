// Shared pieces of the page tests: the page bytes from the built binary,
// Chromium, and a page whose sessions and metrics answers the test scripts.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const BUILD_DIR = process.env.QV_BUILD_DIR || path.resolve('../../build/linux');
export const BINARY = path.join(BUILD_DIR, 'sglang-monitor');
export const ORIGIN = 'http://127.0.0.1:9';
export const PAGE_PATH = '/cgi-bin/sglang-monitor';

// The page clock: every scripted page starts at this instant and only moves
// when a test moves it.
export const T = Date.parse('2030-01-01T12:00:00Z');
export const T_S = T / 1000;

const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--no-first-run', '--disable-quic', '--disable-sync'];

// Runs the plug-in as a CGI host would and splits its answer.
export function served(query = '', extraEnv = {}) {
  const raw = execFileSync(BINARY, [], { env: { QUERY_STRING: query, ...extraEnv } });
  const sep = raw.indexOf('\r\n\r\n');
  if (sep < 0)
    throw new Error(`no header block in the answer to '${query}'`);
  return { raw, head: raw.subarray(0, sep + 4).toString('latin1'), body: raw.subarray(sep + 4) };
}

export function launch() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS });
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls fn (real time) until it returns a truthy value.
export async function until(fn, what = 'condition', ms = 5000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v)
      return v;
    if (Date.now() > end)
      throw new Error(`timed out waiting for ${what}`);
    await sleep(10);
  }
}

export function deferred() {
  let resolve;
  const promise = new Promise((r) => { resolve = r; });
  return { promise, resolve };
}

// A metrics document as the metrics action sends it, taken at the page's
// current time unless the test says otherwise. The companion always reports
// the running and queued requests.
export function doc(members = {}) {
  return { ok: true, url: 'http://gpu-1:30000', model: 'org/x-7b', updated_epoch: T_S,
    source: 'session', session: 'demo', num_running_reqs: 0, num_queue_reqs: 0, ...members };
}

// Opens the monitor page with openMonitor, runs fn with it and closes it;
// errors the page raised fail the test.
export async function withOpenMonitor(browser, opts, fn) {
  const h = await openMonitor(browser, opts);
  try {
    await fn(h);
    assert.deepEqual(h.errors, []);
  } finally {
    await h.close();
  }
}

// Opens the monitor page at ORIGIN + PAGE_PATH + '?' + query in a new context.
// Options: sessions (JSON answer, or a reply object as below), metrics
// (a function of the request URL and its index returning a reply, or a
// promise of one), colorScheme, initScript (string or function run before
// the page's scripts in every frame), extraRoutes ({path: html}), waitIdle
// (false: return at once instead of waiting for start-up to settle).
// A reply is a plain object (sent as JSON with status 200), or
// {status, json} / {status, text}, or {abort: true}.
export async function openMonitor(browser, opts = {}) {
  const context = await browser.newContext({ colorScheme: opts.colorScheme || 'dark' });
  const page = await context.newPage();
  const requests = [];
  const others = [];  // paths asked for besides the page's own
  let pending = 0;
  const errors = [];
  page.on('pageerror', (e) => errors.push(e));

  await page.clock.install({ time: T - 1000 });
  await page.clock.pauseAt(T);
  if (opts.initScript)
    await page.addInitScript(opts.initScript);

  const sessions = opts.sessions === undefined
    ? { ok: true, sessions: [{ name: 'demo', sid: 'demo', url: 'http://gpu-1:30000/v1', has_url: true }] }
    : opts.sessions;
  const metrics = opts.metrics || (() => doc());
  const { body } = served();

  await page.route(`${ORIGIN}/**`, async (route) => {
    const url = new URL(route.request().url());
    const extra = opts.extraRoutes && opts.extraRoutes[url.pathname];
    if (extra !== undefined)
      return route.fulfill({ contentType: 'text/html; charset=utf-8', body: extra });
    if (url.pathname !== PAGE_PATH) {
      others.push(url.pathname);
      return route.fulfill({ status: 404, body: '' });
    }
    const action = url.searchParams.get('action');
    if (action === null)
      return route.fulfill({ contentType: 'text/html; charset=utf-8', body });
    requests.push(url);
    pending++;
    try {
      const reply = action === 'sessions' ? sessions
        : await metrics(url, requests.filter((u) => u.searchParams.get('action') === 'metrics').length - 1);
      await fulfill(route, reply);
    } finally {
      pending--;
    }
  });

  await page.goto(`${ORIGIN}${PAGE_PATH}${opts.query ? '?' + opts.query : ''}`);

  const h = {
    page, context, requests, others, errors,
    metricsRequests: () => requests.filter((u) => u.searchParams.get('action') === 'metrics'),
    // Waits until start-up has run and no request or render is under way.
    idle: () => until(async () => pending === 0 &&
      await page.evaluate(() => window.timer !== null && window.inFlight === 0), 'the page to settle'),
    text: (sel) => page.locator(sel).innerText(),
    // Moves the page clock and lets the polls it starts finish.
    advance: async (ms) => { await page.clock.fastForward(ms); await h.idle(); },
    close: () => context.close(),
  };
  if (opts.waitIdle !== false)
    await h.idle();
  return h;
}

async function fulfill(route, reply) {
  if (reply && reply.abort)
    return route.abort('failed');
  if (reply && (reply.status !== undefined || reply.text !== undefined || reply.json !== undefined)) {
    const text = reply.text !== undefined ? reply.text : JSON.stringify(reply.json);
    return route.fulfill({ status: reply.status || 200, contentType: 'application/json', body: text });
  }
  return route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(reply) });
}

// The card as the rows and bars a reader sees, in order.
export function cardRows(h) {
  return h.page.evaluate(() => [...document.getElementById('card').children].map((c) =>
    c.tagName === 'DIV' && c.classList.contains('sg-bar')
      ? `[${c.className} ${c.firstElementChild.style.width}]`
      : `${c.className}: ${c.textContent}`));
}
