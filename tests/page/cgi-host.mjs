// A real CGI host for the plug-in: lighttpd on 127.0.0.1 with a private
// configuration, a fake metrics companion, a fake tmux companion and a
// session root, all in a temporary directory.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { until, sleep } from './harness.mjs';

export const PASSWORD = 's3cret';
export const ENDPOINT = 'http://127.0.0.1:1/v1';

// What the fake metrics companion prints for any endpoint.
export const FAKE_METRICS = {
  url: 'http://127.0.0.1:1', model: 'org/x-7b',
  num_running_reqs: 2, num_queue_reqs: 1, max_running_reqs: 64,
  gen_throughput: 84.6, pp_tok_s: 1834.2, gen_tok_s: 42.3,
  token_usage: 0.42, num_used_tokens: 27525, max_total_num_tokens: 65536, context_len: 32768,
  cache_hit_rate: 0.63, cache_hit_rate_lifetime: 0.58,
  spec_algo: 'EAGLE', spec_accept_length: 2.41, spec_accept_rate: 0.72,
  itl_ms: 11.8, ttft_ms: 142.5, queue_ms: 3.1,
  requests_total: 1289, prompt_tokens_total: 2483011, generation_tokens_total: 412870,
};

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// The CGI environment holds no PATH, so the fakes use shell builtins only.
function script(file, body) {
  fs.writeFileSync(file, `#!/bin/sh\n${body}\n`, { mode: 0o755 });
}

function lighttpdPath() {
  return fs.existsSync('/usr/sbin/lighttpd') ? '/usr/sbin/lighttpd' : 'lighttpd';
}

// Starts lighttpd running binary as /cgi-bin/sglang-monitor. Resolves to
// { base, dir, metricsArgs(), stop() }. Options: metricsBin (a real metrics
// companion instead of the fake one), sessions ({name: endpoint}, by
// default the one session demo on ENDPOINT).
export async function startHost(binary, opts = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qv-page-host-'));
  const www = path.join(dir, 'www');
  const bin = path.join(dir, 'bin');
  const root = path.join(dir, 'sessions');
  fs.mkdirSync(path.join(www, 'cgi-bin'), { recursive: true });
  fs.mkdirSync(bin);
  const sessions = opts.sessions || { demo: ENDPOINT };
  fs.copyFileSync(binary, path.join(www, 'cgi-bin', 'sglang-monitor'));
  fs.chmodSync(path.join(www, 'cgi-bin', 'sglang-monitor'), 0o755);
  for (const [name, endpoint] of Object.entries(sessions)) {
    fs.mkdirSync(path.join(root, name), { recursive: true });
    fs.writeFileSync(path.join(root, name, 'config-snapshot.txt'), `OPENAI_BASE_URL=${endpoint}\n`);
  }

  const argsLog = path.join(dir, 'metrics-args.txt');
  script(path.join(bin, 'fake-metrics'),
    `printf '%s\\n' "$*" >> '${argsLog}'\nprintf '%s\\n' '${JSON.stringify(FAKE_METRICS)}'`);
  script(path.join(bin, 'fake-tmux'), `printf '%s\\n' '{"sessions":[]}'`);

  const port = await freePort();
  const conf = path.join(dir, 'lighttpd.conf');
  fs.writeFileSync(conf, [
    'server.modules = ("mod_setenv", "mod_cgi")',
    `server.document-root = "${www}"`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    `server.errorlog = "${path.join(dir, 'error.log')}"`,
    'setenv.set-environment = (',
    `  "QUORVANE_SGLANG_METRICS_BIN" => "${opts.metricsBin || path.join(bin, 'fake-metrics')}",`,
    `  "XDG_CACHE_HOME" => "${path.join(dir, 'cache')}",`,
    `  "QUORVANE_TMUX_BIN" => "${path.join(bin, 'fake-tmux')}",`,
    `  "QV_SESSIONS_DIR" => "${root}",`,
    `  "BOT_PASSWORD" => "${PASSWORD}"`,
    ')',
    '$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }',
    '',
  ].join('\n'));

  const server = spawn(lighttpdPath(), ['-D', '-f', conf], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  let exited = false;
  server.stderr.on('data', (d) => { stderr += d; });
  server.on('exit', () => { exited = true; });
  server.on('error', (e) => { exited = true; stderr += String(e); });

  const base = `http://127.0.0.1:${port}`;
  const stop = async () => {
    if (!exited) {
      server.kill('SIGTERM');
      await until(() => exited, 'lighttpd to stop').catch(() => server.kill('SIGKILL'));
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    await until(async () => {
      if (exited)
        throw new Error(`lighttpd did not start: ${stderr.trim()}`);
      return fetch(`${base}/cgi-bin/sglang-monitor?pwd=${PASSWORD}`).then((r) => r.ok, () => sleep(20).then(() => false));
    }, 'lighttpd to answer', 10000);
  } catch (e) {
    await stop();
    throw e;
  }
  const metricsArgs = () => (fs.existsSync(argsLog) ? fs.readFileSync(argsLog, 'utf8').split('\n').filter(Boolean) : []);
  return { base, dir, metricsArgs, stop };
}
