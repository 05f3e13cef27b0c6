// Takes the README's screenshots of the page through the real chain
// (lighttpd, the plug-in, the fake metrics companion):
//   node screenshots.mjs BUILD_DIR OUT_DIR
// writes page-dark.png, page-light.png and page-embed.png into OUT_DIR.
import path from 'node:path';
import { launch, until } from './harness.mjs';
import { startHost, PASSWORD } from './cgi-host.mjs';

const [buildDir, outDir] = process.argv.slice(2);
if (!buildDir || !outDir) {
  console.error('usage: node screenshots.mjs BUILD_DIR OUT_DIR');
  process.exit(2);
}

const shots = [
  ['page-dark.png', 'theme=dark', { width: 720, height: 330 }],
  ['page-light.png', 'theme=light', { width: 720, height: 330 }],
  ['page-embed.png', 'theme=dark&embed=1', { width: 460, height: 330 }],
];

const host = await startHost(path.resolve(buildDir, 'sglang-monitor'));
const browser = await launch();
try {
  for (const [file, query, viewport] of shots) {
    const page = await browser.newPage({ viewport, deviceScaleFactor: 2 });
    await page.goto(`${host.base}/cgi-bin/sglang-monitor?pwd=${PASSWORD}&id=demo&${query}`);
    await until(async () => (await page.locator('#title').innerText()).includes('x-7b'), 'the card', 20000);
    await page.waitForTimeout(400);
    await page.screenshot({ path: path.join(outDir, file) });
    await page.close();
  }
} finally {
  await browser.close();
  await host.stop();
}
