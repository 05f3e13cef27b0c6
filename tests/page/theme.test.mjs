// Theme, embed mode and the host bridge of the served page in Chromium.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openMonitor, until, ORIGIN, PAGE_PATH } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// Records, in every frame, the "bot-theme" events and the messages the
// window receives, and optionally seeds or blocks storage.
function recorder(stored, blocked = false) {
  return `(() => {
    window.__events = [];
    window.__messages = [];
    addEventListener('bot-theme', (e) => __events.push(e.detail));
    addEventListener('message', (e) => __messages.push(e.data));
    ${stored ? `if (window === top) localStorage.setItem('bot_theme', ${JSON.stringify(stored)});` : ''}
    ${blocked ? `Object.defineProperty(window, 'localStorage', { get() { throw new DOMException('blocked', 'SecurityError'); } });
      window.matchMedia = undefined;` : ''}
  })();`;
}

async function withPage(opts, fn) {
  const h = await openMonitor(browser, { ...opts, initScript: recorder(opts.stored, opts.blocked) });
  try {
    await fn(h, h.page);
    assert.deepEqual(h.errors, []);
  } finally {
    await h.close();
  }
}

const state = (frame) => frame.evaluate(() => {
  const root = document.documentElement;
  let stored = null;
  try { stored = localStorage.getItem('bot_theme'); } catch (e) { stored = 'blocked'; }
  return { theme: root.getAttribute('data-theme'), embedded: root.classList.contains('embedded'), stored,
    bg: getComputedStyle(root).getPropertyValue('--bg').trim(),
    toggle: getComputedStyle(document.getElementById('themeToggle')).display };
});

describe('the theme at load', () => {
  const rows = [
    // [what, page query, stored, system scheme, theme, stored after]
    ['URL over storage', 'theme=light', 'dark', 'dark', 'light', 'light'],
    ['a URL value that begins with the word', 'theme=darker', 'light', 'light', 'dark', 'dark'],
    ['theme after another parameter', 'id=x&theme=light', null, 'dark', 'light', 'light'],
    ['an unknown URL value, then storage', 'theme=blue', 'light', 'dark', 'light', 'light'],
    ['a parameter that only ends in theme', 'xtheme=light', null, 'dark', 'dark', 'dark'],
    ['storage over the system', '', 'dark', 'light', 'dark', 'dark'],
    ['an unknown stored value, then the system', '', 'sepia', 'light', 'light', 'light'],
    ['the system preference', '', null, 'light', 'light', 'light'],
    ['a system that prefers dark', '', null, 'dark', 'dark', 'dark'],
  ];
  for (const [what, query, stored, colorScheme, theme, after] of rows) {
    it(what, () => withPage({ query, stored, colorScheme }, async (h, page) => {
      const s = await state(page);
      assert.equal(s.theme, theme);
      assert.equal(s.stored, after);
      assert.equal(s.bg, theme === 'light' ? '#f5f5f7' : '#000000');
    }));
  }

  it('falls back to dark when storage and media queries fail', () => withPage({
    query: 'id=demo', colorScheme: 'light', blocked: true,
  }, async (h, page) => {
    const s = await state(page);
    assert.deepEqual([s.theme, s.stored, s.bg], ['dark', 'blocked', '#000000']);
    assert.equal(await page.evaluate(() => qvTheme()), 'dark');
    await page.click('#themeToggle');
    assert.equal(await page.evaluate(() => qvTheme()), 'light', 'the toggle works without storage');
    assert.match(await h.text('#title'), /x-7b/, 'the page runs on');
  }));

  it('uses the system preference in the style sheet unless dark is set', () => withPage({ colorScheme: 'light' }, async (h, page) => {
    const bg = () => page.evaluate(() => getComputedStyle(document.documentElement).getPropertyValue('--bg').trim());
    await page.evaluate(() => document.documentElement.removeAttribute('data-theme'));
    assert.equal(await bg(), '#f5f5f7');
    await page.evaluate(() => document.documentElement.setAttribute('data-theme', 'dark'));
    assert.equal(await bg(), '#000000');
  }));
});

describe('embed mode', () => {
  for (const [query, embedded] of [['embed=1', true], ['id=x&embed=true', true], ['embed=1&theme=light', true],
    ['embed=yes', false], ['embed=10', false], ['embed=true1', false], ['xembed=1', false], ['', false]]) {
    it(`${query || 'no parameter'}: ${embedded ? 'embedded' : 'not embedded'}`, () => withPage({ query }, async (h, page) => {
      const s = await state(page);
      assert.equal(s.embedded, embedded);
      assert.equal(s.toggle === 'none', embedded);
    }));
  }

  it('drops the width limit and tightens the padding', () => withPage({ query: 'embed=1' }, async (h, page) => {
    const wrap = await page.locator('.wrap').evaluate((w) => {
      const cs = getComputedStyle(w);
      return [cs.maxWidth, cs.padding, cs.rowGap];
    });
    assert.deepEqual(wrap, ['none', '10px 12px 14px', '8px']);
  }));
});

describe('the theme bridge', () => {
  it('toggles locally without telling anyone', () => withPage({ query: 'theme=dark' }, async (h, page) => {
    await page.click('#themeToggle');
    assert.deepEqual(await page.evaluate(() => [qvTheme(), localStorage.getItem('bot_theme'), __events]), ['light', 'light', []]);
    await page.click('#themeToggle');
    assert.equal(await page.evaluate(() => qvTheme()), 'dark');
  }));

  it('applies themes through qvApplyTheme, once per change', () => withPage({ query: 'theme=dark' }, async (h, page) => {
    const events = await page.evaluate(() => {
      qvApplyTheme('light');
      qvApplyTheme('light');
      qvApplyTheme('blue');
      qvApplyTheme(null);
      qvApplyTheme('dark');
      return __events;
    });
    assert.deepEqual(events, ['light', 'dark']);
    assert.equal(await page.evaluate(() => localStorage.getItem('bot_theme')), 'dark');
    await page.evaluate(() => document.documentElement.setAttribute('data-theme', 'x'));
    assert.equal(await page.evaluate(() => qvTheme()), 'dark');
  }));

  it('posts nothing when not framed', () => withPage({ query: 'theme=dark' }, async (h, page) => {
    await page.evaluate(() => postMessage({ type: 'end' }, '*'));
    await until(() => page.evaluate(() => __messages.some((m) => m && m.type === 'end')), 'the end marker');
    assert.deepEqual(await page.evaluate(() => __messages), [{ type: 'end' }]);
  }));

  it('talks to a framing host: asks once, then follows its messages', () => withPage({
    query: 'theme=dark',
    extraRoutes: { '/host.html': `<!DOCTYPE html><iframe src='${PAGE_PATH}?embed=1'></iframe>` },
  }, async (h, page) => {
    await page.goto(`${ORIGIN}/host.html`);
    const frame = await until(() => page.frames().find((f) => f.url().includes('embed=1')), 'the frame');
    await until(() => frame.evaluate(() => typeof qvTheme === 'function'), 'the bridge');
    await until(() => page.evaluate(() => __messages.length === 1), 'the request');
    assert.deepEqual(await page.evaluate(() => __messages), [{ type: 'qv-theme-request' }]);

    // Messages arrive in order, so the end marker means all were handled.
    const send = async (...msgs) => {
      await page.evaluate((list) => {
        const w = document.querySelector('iframe').contentWindow;
        for (const m of list)
          w.postMessage(m, '*');
        w.postMessage({ type: 'end' }, '*');
      }, msgs);
      await until(() => frame.evaluate(() => __messages.filter((m) => m && m.type === 'end').length > 0 &&
        __messages[__messages.length - 1].type === 'end'), 'the end marker');
      const out = await frame.evaluate(() => [qvTheme(), localStorage.getItem('bot_theme'), __events.slice()]);
      await frame.evaluate(() => { __messages.length = 0; __events.length = 0; });
      return out;
    };
    assert.deepEqual(await send({ type: 'qv-theme', theme: 'light' }), ['light', 'light', ['light']]);
    assert.deepEqual(await send({ type: 'qv-theme', theme: 'light' }), ['light', 'light', []]);
    assert.deepEqual(await send({ type: 'qv-theme', theme: 'Dark' }, { type: 'other', theme: 'dark' },
      'qv-theme', null, { type: 'qv-theme' }), ['light', 'light', []]);
    assert.deepEqual(await send({ type: 'qv-theme', theme: 'dark' }), ['dark', 'dark', ['dark']]);
    assert.deepEqual(await page.evaluate(() => __messages), [{ type: 'qv-theme-request' }], 'asked only once');
  }));
});
