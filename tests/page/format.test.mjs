// Unit tests of the card's number formatters, loaded from the client
// script itself without starting it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import vm from 'node:vm';

const source = fs.readFileSync(new URL('../../src/page/monitor.js', import.meta.url), 'utf8');
const START = /\nstart\(\);\n$/;
assert.match(source, START, 'the client script ends by calling start()');
const ctx = vm.createContext({ URLSearchParams });
vm.runInContext(source.replace(START, '\n'), ctx);
const { sgK, sgN, sgF } = ctx;

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
