// End to end: lighttpd runs the built plug-in as a CGI program; Chromium
// opens the page, which lists the session, polls it and draws the card
// from what the fake metrics companion printed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { BINARY, launch, until } from './harness.mjs';
import { startHost, PASSWORD, ENDPOINT } from './cgi-host.mjs';

let host;
let browser;
before(async () => {
  host = await startHost(BINARY);
  browser = await launch();
});
after(async () => {
  await browser?.close();
  await host?.stop();
});

test('the page served through lighttpd shows the session metrics', async () => {
  const page = await browser.newPage();
  const statuses = [];
  page.on('response', (r) => statuses.push([new URL(r.url()).search, r.status()]));
  try {
    await page.goto(`${host.base}/cgi-bin/sglang-monitor?pwd=${PASSWORD}&id=demo`);
    await until(async () => (await page.locator('#title').innerText()).includes('x-7b'), 'the card', 20000)
      .catch(async (e) => { throw new Error(`${e.message}; card: ${await page.locator('#card').innerText()}`); });

    assert.equal(await page.locator('#title').innerText(), 'SGLang \u00b7 x-7b');
    assert.equal(await page.getAttribute('#dot', 'class'), 'dot live');
    assert.equal(await page.locator('#srcBadge').innerText(), 'DEMO');
    assert.equal(await page.locator('#urlLbl').innerText(), 'http://127.0.0.1:1');
    assert.equal(await page.inputValue('#sessSel'), 'demo');
    const rows = await page.locator('#card .sg-row').allTextContents();
    assert.deepEqual(rows.slice(0, 3), ['run 2   queue 1   max 64', 'tg 84.6 t/s   pp 1834 t/s   gen 42 t/s',
      'KV  28K/66K (42%)   ctx 33K']);
    // A slow run may see a timer poll too; the first three are fixed.
    assert.ok(host.metricsArgs().length >= 1 && host.metricsArgs().every((a) => a === ENDPOINT), host.metricsArgs().join());
    assert.ok(statuses.every((s) => s[1] === 200), JSON.stringify(statuses));
    assert.deepEqual(statuses.slice(0, 3).map((s) => s[0]), [`?pwd=${PASSWORD}&id=demo`, `?pwd=${PASSWORD}&action=sessions`,
      `?pwd=${PASSWORD}&action=metrics&id=demo`]);
  } finally {
    await page.close();
  }
});
