// The page's side of a run (web/page_pre.js), run by node in a sandbox that stands in for the
// browser and the module around it: the LUMEN_* query as the environment, Data/Lumen.lmd into
// the in-memory file system, and window.stackrise through loading, a fault and an orderly end.
// Usage: node page_pre_test.js PATH/TO/environment.js PATH/TO/page_pre.js (the page's pre-js
// files, in the order the link takes them)
'use strict';
const assert = require('assert');
const fs = require('fs');
const vm = require('vm');

const source = process.argv.slice(2).map((f) => fs.readFileSync(f, 'utf8')).join('\n');

class ExitStatus {
  constructor(status) { this.status = status; }
}

// A fresh page: the sandbox, its recorded effects, and page_pre.js run in it.
function page({search = '', lmd = {ok: true, status: 200, bytes: [76, 117]}} = {}) {
  const files = {};
  const effects = {errors: [], dependencies: [], statusLine: null};
  const statusElement = {set textContent(v) { effects.statusLine = v; }};
  const sandbox = {
    Module: {},
    ENV: {},
    ExitStatus,
    URLSearchParams,
    TextEncoder,
    location: {search},
    window: {},
    document: {getElementById: (id) => (id === 'stackrise-status' ? statusElement : null)},
    console: {error: (t) => effects.errors.push(String(t))},
    FS: {
      mkdirTree: (p) => { files[p + '/'] = true; },
      writeFile: (p, bytes) => { files[p] = Buffer.from(bytes).toString('latin1'); },
      readFile: (p) => {
        if (!(p in files)) throw new Error('ENOENT');
        return files[p];
      },
    },
    addRunDependency: (id) => effects.dependencies.push('+' + id),
    removeRunDependency: (id) => effects.dependencies.push('-' + id),
    fetch: (url) => {
      effects.fetched = url;
      return Promise.resolve({
        ok: lmd.ok, status: lmd.status, statusText: lmd.ok ? 'OK' : 'Not Found',
        arrayBuffer: () => Promise.resolve(new Uint8Array(lmd.bytes).buffer),
      });
    },
  };
  vm.createContext(sandbox);
  vm.runInContext(source, sandbox);
  return {sandbox, files, effects, stackrise: sandbox.window.stackrise, Module: sandbox.Module};
}

// Runs the module's preRun functions and waits for what they started.
async function preRun(p) {
  for (const f of p.Module.preRun) f();
  await new Promise((resolve) => setTimeout(resolve, 10));
}

const checks = [];
function check(name, body) { checks.push([name, body]); }

check('the query: only LUMEN_* names, decoded, become the environment', async () => {
  const p = page({search: '?LUMEN_SEED=7&LUMEN_TRACE=/trace.txt&OTHER=1&lumen_seed=9&LUMEN_RECORD=%2Frec.script&LUMEN_FAULT=Act%3A5%3A1234%3Aa%20b'});
  await preRun(p);
  assert.deepStrictEqual({...p.sandbox.ENV}, {
    LUMEN_SEED: '7', LUMEN_TRACE: '/trace.txt', LUMEN_RECORD: '/rec.script', LUMEN_FAULT: 'Act:5:1234:a b',
  });
  const none = page({search: ''});
  await preRun(none);
  assert.deepStrictEqual({...none.sandbox.ENV}, {});
});

check('a value reaches the program as its UTF-8 bytes, one character each', async () => {
  const name = 'a ö 報告 🎉.png';
  const p = page({search: '?LUMEN_CAPTURE=' + encodeURIComponent('/' + name)});
  await preRun(p);
  const value = p.sandbox.ENV.LUMEN_CAPTURE;
  for (let i = 0; i < value.length; ++i) assert.ok(value.charCodeAt(i) < 256, 'a byte a character');
  assert.strictEqual(Buffer.from(value, 'latin1').toString('utf8'), '/' + name);
});

check('the export list is fetched beside the page into the program folder', async () => {
  const p = page();
  assert.strictEqual(p.Module.stackriseFolder, '/');
  await preRun(p);
  assert.strictEqual(p.effects.fetched, 'Data/Lumen.lmd');
  assert.strictEqual(p.files['/Data/Lumen.lmd'], 'Lu');
  assert.deepStrictEqual(p.effects.dependencies, ['+Data/Lumen.lmd', '-Data/Lumen.lmd']);
  assert.strictEqual(p.stackrise.readFile('/Data/Lumen.lmd'), 'Lu');
  assert.strictEqual(p.stackrise.readFile('/nowhere.txt'), null);
});

check('a missing export list still lets the run start (binding then fails)', async () => {
  const p = page({lmd: {ok: false, status: 404, bytes: []}});
  await preRun(p);
  assert.ok(!('/Data/Lumen.lmd' in p.files));
  assert.deepStrictEqual(p.effects.dependencies, ['+Data/Lumen.lmd', '-Data/Lumen.lmd']);
  assert.ok(p.effects.errors.some((e) => e.includes('404')), p.effects.errors.join('\n'));
});

check('loading, running, frames and the end request', () => {
  const p = page();
  assert.strictEqual(p.stackrise.state, 'loading');
  assert.strictEqual(p.stackrise.status, null);
  assert.strictEqual(p.stackrise.message, '');
  assert.strictEqual(p.stackrise.frames, 0);
  p.Module.onRuntimeInitialized();
  assert.strictEqual(p.stackrise.state, 'running');
  p.Module.lumenFrames = 42;
  assert.strictEqual(p.stackrise.frames, 42);
  assert.ok(!p.Module.lumenCloseRequested);
  p.stackrise.end();
  assert.strictEqual(p.Module.lumenCloseRequested, true);
});

check('an orderly end: status 0, said on the page', () => {
  const p = page();
  p.Module.onRuntimeInitialized();
  p.Module.onExit(0);
  assert.strictEqual(p.stackrise.state, 'ended');
  assert.strictEqual(p.stackrise.status, 0);
  assert.match(p.effects.statusLine, /ended.*0/);
  // The error that carries the exit up from a resumed frame changes nothing more.
  p.Module.onRunError(new ExitStatus(0));
  assert.strictEqual(p.stackrise.state, 'ended');
});

check('a fault: the first diagnostic line is the message, shown, and the state', () => {
  const p = page();
  p.Module.onRuntimeInitialized();
  const line = 'Stackrise: fault 0x4D2 (1234) at 0x99006 (stackrise.wasm+0x99006): boom';
  p.Module.onDiagnostic(line);
  p.Module.onDiagnostic('Stackrise: a later line');
  p.Module.onExit(1);
  assert.strictEqual(p.stackrise.state, 'fault');
  assert.strictEqual(p.stackrise.status, 1);
  assert.strictEqual(p.stackrise.message, line);
  assert.strictEqual(p.effects.statusLine, line);
});

check('an end out of a resumed frame, and an error the program could not report', () => {
  const ended = page();
  ended.Module.onRunError(new ExitStatus(3));
  assert.strictEqual(ended.stackrise.status, 3);
  assert.strictEqual(ended.stackrise.state, 'fault');
  const failed = page();
  failed.Module.onRunError(new TypeError('x is null'));
  assert.strictEqual(failed.stackrise.state, 'fault');
  assert.strictEqual(failed.stackrise.status, 1);
  assert.match(failed.stackrise.message, /^Stackrise: x is null$/);
  assert.ok(failed.effects.errors.includes(failed.stackrise.message));
  assert.strictEqual(failed.effects.statusLine, failed.stackrise.message);
});

(async () => {
  let failed = 0;
  for (const [name, body] of checks) {
    try {
      await body();
      console.log('ok   ' + name);
    } catch (e) {
      failed += 1;
      console.log('FAIL ' + name + '\n' + (e && e.stack ? e.stack : e));
    }
  }
  process.exit(failed === 0 ? 0 : 1);
})();
