// Unit tests of the page's formatters, loaded from the formatting part of
// the client script on its own.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import vm from 'node:vm';

const ctx = vm.createContext({});
vm.runInContext(fs.readFileSync(new URL('../../src/page/monitor-fmt.js', import.meta.url), 'utf8'), ctx);
const { sgK, sgN, sgF, duration } = ctx;

test('sgK writes compact counts', () => {
  const rows = [
    [1234567, '1.2M'], [1e6, '1.0M'], [999999, '1000K'], [1500, '2K'], [1000, '1K'],
    [999, '999'], [999.5, '1000'], [0, '0'], [12.4, '12'],
    ['2500', '3K'], [null, '0'], [undefined, '0'], ['', '0'], ['abc', '0'], [NaN, '0'],
  ];
  for (const [n, want] of rows)
    assert.equal(sgK(n), want, `sgK(${JSON.stringify(n)})`);
});

test('sgN groups thousands the en-US way', () => {
  const rows = [[1e6, '1,000,000'], [1234, '1,234'], [999, '999'], [0, '0'],
    ['12345', '12,345'], [null, '0'], ['x', '0'], [-4321, '-4,321']];
  for (const [n, want] of rows)
    assert.equal(sgN(n), want, `sgN(${JSON.stringify(n)})`);
});

test('sgF writes exactly d decimals', () => {
  const rows = [[[12.345, 1], '12.3'], [[12.35, 0], '12'], [[0.5, 2], '0.50'], [[7, 1], '7.0'],
    [['3.14159', 2], '3.14'], [[undefined, 1], '0.0'], [['NaN', 0], '0'], [[false, 2], '0.00']];
  for (const [[n, d], want] of rows)
    assert.equal(sgF(n, d), want, `sgF(${JSON.stringify(n)}, ${d})`);
});

test('duration writes seconds, then minutes, then hours', () => {
  const rows = [[0, '0 s'], [44600, '45 s'], [59499, '59 s'], [60000, '1 m 0 s'], [130000, '2 m 10 s'],
    [3599000, '59 m 59 s'], [3600000, '1 h 0 m'], [3900000, '1 h 5 m'], [-5000, '0 s']];
  for (const [ms, want] of rows)
    assert.equal(duration(ms), want, `duration(${ms})`);
});
