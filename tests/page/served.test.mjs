// The page as the binary serves it: one fixed answer whatever the request.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { served } from './harness.mjs';

test('every request without a JSON action gets the same page bytes', () => {
  const first = served('');
  assert.equal(first.head, 'Content-Type: text/html; charset=utf-8\r\n' +
    'Cache-Control: no-cache, no-store, must-revalidate\r\n\r\n');
  assert.ok(first.body.toString('utf8').startsWith("<!DOCTYPE html><html lang='en'><head>\n"));
  for (const query of ['action=other', 'action=Metrics', 'format=xml&id=demo',
    'theme=light&embed=1&plugin=sglang&node=n1&url=http%3A%2F%2Fh%3A1', 'id=%ZZ&&='])
    assert.ok(served(query).raw.equals(first.raw), `answer to '${query}'`);
});
