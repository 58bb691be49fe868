// The page's side of a run (web/page_pre.js) and the page's runs (web/page.js), run by node in a
// sandbox that stands in for the browser and the module around them: the LUMEN_* query as the
// environment, Data/Lumen.lmd into the in-memory file system, the run's account through loading,
// a fault and an orderly end; and the page playing one run after another, each a fresh instance
// of the once-compiled module.
// Usage: node page_pre_test.js PATH/TO/environment.js PATH/TO/page_pre.js PATH/TO/page.js (the
// page's pre-js files, in the order the link takes them, then the page's script)
'use strict';
const assert = require('assert');
const fs = require('fs');
const vm = require('vm');

const [environmentJs, pagePreJs, pageJs] = process.argv.slice(2).map((f) => fs.readFileSync(f, 'utf8'));
const source = environmentJs + '\n' + pagePreJs;

class ExitStatus {
  constructor(status) { this.status = status; }
}

// The export list as fetched: its bytes, or a refusal with an HTTP status.
function library({ok = true, status = 200, bytes = [76, 117]} = {}) {
  return ok ? Promise.resolve(new Uint8Array(bytes).buffer) :
    Promise.reject(new Error('Data/Lumen.lmd: ' + status + ' Not Found'));
}

// One run's module: page_pre.js run in a sandbox of its own with Module = `module`.
function instance(module, {search = '', console: out = {error() {}, info() {}}} = {}) {
  const files = {};
  const effects = {errors: [], infos: [], dependencies: []};
  const sandbox = {
    Module: module,
    ENV: {},
    ExitStatus,
    URLSearchParams,
    TextEncoder,
    Promise,
    location: {search},
    console: {error: (t) => { effects.errors.push(String(t)); out.error(t); },
      info: (t) => { effects.infos.push(String(t)); out.info(t); }},
    FS: {
      mkdirTree: (p) => { files[p + '/'] = true; },
      writeFile: (p, bytes) => { files[p] = Buffer.from(bytes).toString('latin1'); },
      readFile: (p, opts) => {
        if (!(p in files)) throw new Error('ENOENT');
        return opts.encoding ? files[p] : Buffer.from(files[p], 'latin1');
      },
      readdir: (p) => Object.keys(files).filter((f) => f.startsWith(p) && f !== p).map((f) => f.slice(p.length)),
    },
    addRunDependency: (id) => effects.dependencies.push('+' + id),
    removeRunDependency: (id) => effects.dependencies.push('-' + id),
  };
  vm.createContext(sandbox);
  vm.runInContext(source, sandbox);
  return {sandbox, files, effects, run: module.stackriseRun, Module: module};
}

// A fresh run outside the page: its module, sandbox, recorded effects and account.
function page({search = '', lmd = {}} = {}) {
  return instance({stackriseRun: {}, stackriseLibrary: library(lmd)}, {search});
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

check('the export list goes into the program folder; files are read as text or bytes', async () => {
  const p = page();
  assert.strictEqual(p.Module.stackriseFolder, '/');
  await preRun(p);
  assert.strictEqual(p.files['/Data/Lumen.lmd'], 'Lu');
  assert.deepStrictEqual(p.effects.dependencies, ['+Data/Lumen.lmd', '-Data/Lumen.lmd']);
  assert.strictEqual(p.run.readFile('/Data/Lumen.lmd'), 'Lu');
  assert.deepStrictEqual(Array.from(p.run.readFile('/Data/Lumen.lmd', true)), [76, 117]);
  assert.strictEqual(p.run.readFile('/nowhere.txt'), null);
  assert.deepStrictEqual(p.run.list('/Data/'), ['Lumen.lmd']);
});

check('a missing export list still lets the run start (binding then fails)', async () => {
  const p = page({lmd: {ok: false, status: 404}});
  await preRun(p);
  assert.ok(!('/Data/Lumen.lmd' in p.files));
  assert.deepStrictEqual(p.effects.dependencies, ['+Data/Lumen.lmd', '-Data/Lumen.lmd']);
  assert.ok(p.effects.errors.some((e) => e.includes('404')), p.effects.errors.join('\n'));
});

check('loading, running, frames and the end request, each change told', () => {
  const p = page();
  const told = [];
  p.run.changed = (run) => told.push(run.state);
  assert.strictEqual(p.run.state, 'loading');
  assert.strictEqual(p.run.status, null);
  assert.strictEqual(p.run.message, '');
  assert.strictEqual(p.run.frames, 0);
  p.Module.onRuntimeInitialized();
  assert.strictEqual(p.run.state, 'running');
  p.Module.lumenFrames = 42;
  assert.strictEqual(p.run.frames, 42);
  assert.ok(!p.Module.lumenCloseRequested);
  p.run.end();
  assert.strictEqual(p.Module.lumenCloseRequested, true);
  let detached = 0;
  p.Module.lumenWeb = {detach: () => { detached += 1; }};
  p.Module.onExit(0);
  assert.deepStrictEqual(told, ['running', 'ended']);
  assert.strictEqual(detached, 1, 'the backend\'s listeners go with the run');
});

check('an orderly end: status 0, ended; a later exit error changes nothing', () => {
  const p = page();
  p.Module.onRuntimeInitialized();
  p.Module.onExit(0);
  assert.strictEqual(p.run.state, 'ended');
  assert.strictEqual(p.run.status, 0);
  p.Module.onRunError(new ExitStatus(0));
  assert.strictEqual(p.run.state, 'ended');
});

check('a fault: the first diagnostic line is the message; only faults are console errors', () => {
  const p = page();
  p.Module.onRuntimeInitialized();
  p.Module.printErr('Stackrise: seed 12345');
  const line = 'Stackrise: fault 0x4D2 (1234) at 0x99006 (stackrise.wasm+0x99006): boom';
  p.Module.onDiagnostic(line);  // the page is told first, then stderr has it
  p.Module.printErr(line);
  p.Module.onDiagnostic('Stackrise: a later line');
  p.Module.printErr('Stackrise: a later line');
  p.Module.onExit(1);
  assert.strictEqual(p.run.state, 'fault');
  assert.strictEqual(p.run.status, 1);
  assert.strictEqual(p.run.message, line);
  assert.deepStrictEqual(p.effects.infos, ['Stackrise: seed 12345']);
  assert.deepStrictEqual(p.effects.errors, [line, 'Stackrise: a later line']);
});

check('an end out of a resumed frame, and an error the program could not report', () => {
  const ended = page();
  ended.Module.onRunError(new ExitStatus(3));
  assert.strictEqual(ended.run.status, 3);
  assert.strictEqual(ended.run.state, 'fault');
  const failed = page();
  failed.Module.onRunError(new TypeError('x is null'));
  assert.strictEqual(failed.run.state, 'fault');
  assert.strictEqual(failed.run.status, 1);
  assert.match(failed.run.message, /^Stackrise: x is null$/);
  assert.ok(failed.effects.errors.includes(failed.run.message));
  failed.Module.printErr('Aborted(x is null)');  // emscripten's own line after a failure
  assert.ok(failed.effects.errors.includes('Aborted(x is null)'));
});

// The page (web/page.js) with a stand-in document, fetch, WebAssembly and factory: each call of
// the factory runs page_pre.js afresh (instance above) and instantiates the compiled module.
function site({wasmType = 'application/wasm'} = {}) {
  const fetched = [];
  const compiled = {name: 'the compiled module'};
  const made = [];  // each run: [module given to instantiate, instance]
  const keys = {};
  const element = (id) => ({id, hidden: id === 'stackrise-again', textContent: '', focused: 0,
    focus() { this.focused += 1; }, addEventListener(type, f) { keys[id + ':' + type] = f; }});
  const elements = {'stackrise-status': element('stackrise-status'), 'stackrise-again': element('stackrise-again')};
  const instances = [];
  const g = {
    window: {addEventListener: (type, f) => { keys['window:' + type] = f; }},
    document: {getElementById: (id) => elements[id] || null},
    Promise,
    Error,
    fetch: (url) => {
      fetched.push(url);
      const bytes = url === 'Data/Lumen.lmd' ? [76, 117] : [0, 97, 115, 109];
      const response = {ok: true, status: 200, type: url.endsWith('.wasm') ? wasmType : 'text/plain',
        arrayBuffer: () => Promise.resolve(new Uint8Array(bytes).buffer), clone: () => response};
      return Promise.resolve(response);
    },
    WebAssembly: {
      compileStreaming: (r) => (r.type === 'application/wasm' ? Promise.resolve(compiled) :
        Promise.reject(new TypeError('Incorrect response MIME type'))),
      compile: () => Promise.resolve(compiled),
      instantiate: (module, imports) => {
        const inst = {imports};
        made.push([module, inst]);
        return Promise.resolve(inst);
      },
    },
    createStackrise: (module) => {
      const i = instance(module);
      instances.push(i);
      return new Promise((resolve) => {
        module.instantiateWasm({env: {}}, (inst, mod) => { i.received = [inst, mod]; resolve(module); });
      });
    },
  };
  vm.createContext(g);
  vm.runInContext(pageJs, g);
  const key = (k) => { let prevented = false; keys['window:keydown']({key: k, preventDefault: () => { prevented = true; }}); return prevented; };
  return {g, fetched, compiled, made, instances, elements, keys, key, stackrise: g.window.stackrise};
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 10));

check('the page: the module and export list fetched once, at the start; each run a fresh instance', async () => {
  for (const wasmType of ['application/wasm', 'application/octet-stream']) {
    const s = site({wasmType});
    assert.deepStrictEqual(s.fetched, ['stackrise.wasm', 'Data/Lumen.lmd']);
    assert.strictEqual(s.stackrise.runs, 1);
    assert.strictEqual(s.stackrise.state, 'loading');
    await settle();
    const first = s.instances[0];
    assert.deepStrictEqual(first.received, [s.made[0][1], s.compiled]);
    first.Module.onRuntimeInitialized();
    assert.strictEqual(s.stackrise.state, 'running');
    assert.strictEqual(s.stackrise.playAgain(), false, 'no second run while one is running');
    assert.ok(!s.key('Enter'), 'Enter is the program\'s while it runs');
    first.Module.onExit(0);
    assert.strictEqual(s.stackrise.state, 'ended');
    assert.strictEqual(s.elements['stackrise-status'].textContent, 'The run has ended.');
    assert.strictEqual(s.elements['stackrise-again'].hidden, false);
    assert.ok(s.key('Enter'));
    assert.strictEqual(s.stackrise.runs, 2);
    assert.strictEqual(s.stackrise.state, 'loading');
    assert.strictEqual(s.elements['stackrise-again'].hidden, true);
    assert.strictEqual(s.elements['stackrise-status'].textContent, '');
    await settle();
    const second = s.instances[1];
    assert.notStrictEqual(second.sandbox, first.sandbox);
    assert.notStrictEqual(second.run, first.run);
    assert.strictEqual(s.made[1][0], s.compiled, 'the second run instantiates the same compiled module');
    assert.deepStrictEqual(s.fetched, ['stackrise.wasm', 'Data/Lumen.lmd'], 'nothing fetched again');
    await preRun(second);
    assert.strictEqual(second.files['/Data/Lumen.lmd'], 'Lu');
    // The old run's end, told late, is not the page's any more.
    first.Module.onExit(3);
    assert.strictEqual(s.stackrise.state, 'loading');
  }
});

check('the page: a fault says its line; Space and the button start the next run', async () => {
  const s = site();
  await settle();
  const line = 'Stackrise: fault 0x4D2 (1234): boom';
  s.instances[0].Module.onDiagnostic(line);
  s.instances[0].Module.onExit(1);
  assert.strictEqual(s.stackrise.state, 'fault');
  assert.strictEqual(s.stackrise.message, line);
  assert.strictEqual(s.elements['stackrise-status'].textContent, line);
  assert.ok(s.elements['stackrise-again'].focused > 0, 'the button has the focus');
  assert.ok(s.key(' '));
  assert.strictEqual(s.stackrise.runs, 2);
  await settle();
  s.instances[1].Module.onExit(4);
  assert.strictEqual(s.elements['stackrise-status'].textContent, 'The run ended with exit status 4.');
  s.keys['stackrise-again:click']();
  assert.strictEqual(s.stackrise.runs, 3);
});

check('the page: a module that cannot be compiled is the run\'s fault', async () => {
  const s = site();
  s.g.WebAssembly.instantiate = () => Promise.reject(new Error('out of memory'));
  await settle();
  assert.strictEqual(s.stackrise.state, 'fault');
  assert.match(s.stackrise.message, /cannot load the program: out of memory/);
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
