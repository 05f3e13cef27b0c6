// Takes the README's screenshots of the page through the real chain
// (lighttpd, the plug-in, the metrics companion, mock-sglang --live):
//   node screenshots.mjs BUILD_DIR OUT_DIR
// writes into OUT_DIR: page-dark.png, page-light.png, page-embed.png (a live
// card), page-history.png (sparklines and percentiles after a minute),
// page-stalled.png, page-error.png (a closed port and its reason),
// page-outage.png (a server that restarted, then went down, with its
// history) and page-all.png (every session at once).
import { spawn } from 'node:child_process';
import net from 'node:net';
import path from 'node:path';
import readline from 'node:readline';
import { launch, until, sleep } from './harness.mjs';
import { startHost, PASSWORD } from './cgi-host.mjs';

const [buildDir, outDir] = process.argv.slice(2);
if (!buildDir || !outDir) {
  console.error('usage: node screenshots.mjs BUILD_DIR OUT_DIR');
  process.exit(2);
}
const build = path.resolve(buildDir);
const MOCK = path.join(build, 'tools/mock-sglang/mock-sglang');
const COMPANION = path.join(build, 'companions/sglang-metrics/quorvane-sglang-metrics');

// Starts mock-sglang --live in a scenario; resolves to { url, stop() }.
function startMock(scenario) {
  const child = spawn(MOCK, ['--live', '--scenario', scenario], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    child.on('error', reject);
    readline.createInterface({ input: child.stdout }).once('line', (port) => resolve({
      url: `http://127.0.0.1:${port.trim()}`,
      stop: () => child.kill('SIGTERM'),
    }));
  });
}

// A port on which nothing listens.
function closedPort() {
  return new Promise((resolve) => {
    const srv = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

const mocks = {};
for (const scenario of ['live', 'stall-queue', 'stall-tokens', 'down'])
  mocks[scenario] = await startMock(scenario);
mocks.outage = await startMock('live');
// Switches the outage server's scenario while it runs.
const switchOutage = (name) => fetch(`${mocks.outage.url}/mock/scenario?name=${name}`);
const closed = `http://127.0.0.1:${await closedPort()}`;
const host = await startHost(path.join(build, 'sglang-monitor'), {
  metricsBin: COMPANION,
  sessions: { 'gpu-live': `${mocks.live.url}/v1`, 'gpu-queue': `${mocks['stall-queue'].url}/v1`,
    'gpu-tokens': `${mocks['stall-tokens'].url}/v1`, 'gpu-down': `${mocks.down.url}/v1`, 'gpu-gone': `${closed}/v1`,
    'gpu-outage': `${mocks.outage.url}/v1`, 'no-endpoint': '', 'my project': `${mocks.live.url}/v1` },
});
const browser = await launch();
const page = (query, viewport) => browser.newPage({ viewport, deviceScaleFactor: 2 }).then(async (p) => {
  await p.goto(`${host.base}/cgi-bin/sglang-monitor?pwd=${PASSWORD}&${query}`);
  return p;
});
const word = (p) => p.locator('#statusWord').innerText();
const shoot = (p, file) => p.screenshot({ path: path.join(outDir, file) });

try {
  const wide = { width: 720, height: 330 };
  const history = await page('id=gpu-live&theme=dark', { width: 720, height: 640 });
  const all = await page('view=all&theme=dark', { width: 960, height: 420 });
  const outage = await page('id=gpu-outage&theme=dark', { width: 720, height: 470 });
  const stalled = await page('id=gpu-queue&theme=light', wide);
  const error = await page('id=gpu-gone&theme=dark', wide);

  for (const [file, query, viewport] of [['page-dark.png', 'theme=dark', wide], ['page-light.png', 'theme=light', wide],
    ['page-embed.png', 'theme=dark&embed=1', { width: 460, height: 330 }]]) {
    const p = await page(`id=gpu-live&${query}`, viewport);
    await until(async () => (await word(p)) === 'live', 'a live card', 20000);
    await sleep(400);
    await shoot(p, file);
    await p.close();
  }
  await until(async () => (await word(stalled)) === 'stalled', 'the stalled card', 30000);
  await shoot(stalled, 'page-stalled.png');
  await until(async () => (await word(error)) === 'error', 'the error', 20000);
  await shoot(error, 'page-error.png');
  // A minute of polls gives the sparklines and the percentiles' window;
  // the outage server restarts half-way and goes down at the end.
  await sleep(30000);
  await switchOutage('restart');
  await sleep(30000);
  await switchOutage('down');
  await until(async () => (await history.locator('#card').innerText()).includes('p50'), 'the percentiles', 20000);
  await shoot(history, 'page-history.png');
  await until(async () => (await all.locator('.all-row .status').allInnerTexts()).every((w) => w !== 'loading'),
    'every row', 20000);
  await shoot(all, 'page-all.png');
  await until(async () => (await word(outage)) === 'error', 'the outage', 40000);
  await sleep(10000);
  await shoot(outage, 'page-outage.png');
} finally {
  await browser.close();
  await host.stop();
  for (const m of Object.values(mocks))
    m.stop();
}
