// The web backend's page side (the EM_JS functions of lumen/backends/web.cpp), taken from the
// source and run by node against a stand-in page: the canvas, title and icon it sets up, and
// how pointer events (mouse buttons and chords, touch, cancel) and Escape become its queue.
// Usage: node web_backend_test.js PATH/TO/lumen/backends/web.cpp
'use strict';
const assert = require('assert');
const fs = require('fs');

const source = fs.readFileSync(process.argv[2], 'utf8');

// Each EM_JS function of the file by name: its parameter names and body.
function emJs(name) {
  const at = source.indexOf('EM_JS(');
  const start = source.indexOf(', ' + name + ',', at);
  assert.ok(start > 0, 'no EM_JS ' + name);
  const open = source.indexOf('(', start + name.length + 3);
  const close = source.indexOf(')', open);
  const params = source.slice(open + 1, close).split(',').map((p) => p.trim().split(/[\s*]+/).pop()).filter((p) => p);
  const bodyStart = source.indexOf('{', close);
  let depth = 0;
  let i = bodyStart;
  for (; i < source.length; ++i) {
    if (source[i] === '{') depth += 1;
    if (source[i] === '}' && --depth === 0) break;
  }
  return {params, body: source.slice(bodyStart + 1, i)};
}

// A stand-in page with an area 1000 x 700 CSS px at (10, 20), and the module's globals.
function page({withDocument = true, coarse = false} = {}) {
  const listeners = {};
  const signals = [];
  const timers = [];  // [f, ms], run by hand
  const windowListeners = {};
  const elements = {};
  const captured = [];
  const area = {
    style: {}, clientWidth: 1000, clientHeight: 700,
    getBoundingClientRect: () => ({left: 10, top: 20, width: 1000, height: 700}),
    addEventListener: (type, f, options) => { listeners[type] = f; signals.push(options && options.signal); },
    setPointerCapture: (id) => captured.push(id),
  };
  const canvas = {id: 'lumen', style: {}, parentElement: area, getContext: (kind) => (kind === '2d' ? {} : null)};
  elements.lumen = canvas;
  elements['lumen-line'] = {textContent: ''};
  const head = {children: [], appendChild(e) { this.children.push(e); }};
  const document = {
    title: '', head, fullscreenElement: null,
    getElementById: (id) => elements[id] || null,
    querySelector: () => null,
    createElement: () => ({}),
  };
  const heap = new Uint8Array(256);
  const g = {
    Module: {},
    HEAPU8: heap,
    HEAPF64: new Float64Array(heap.buffer),
    UTF8ToString: (p) => { let s = ''; while (heap[p]) s += String.fromCharCode(heap[p++]); return s; },
    btoa: (s) => Buffer.from(s, 'latin1').toString('base64'),
    window: {addEventListener: (type, f, options) => { windowListeners[type] = f; signals.push(options && options.signal); }, devicePixelRatio: 2},
    requestAnimationFrame: () => 0,
    matchMedia: (query) => ({matches: query === '(pointer: coarse)' && coarse}),
    setTimeout: (f, ms) => timers.push([f, ms]),
    clearTimeout: (id) => { if (timers[id - 1]) timers[id - 1][0] = () => {}; },
  };
  if (withDocument) g.document = document;
  const call = (name, ...args) => {
    const f = emJs(name);
    const names = Object.keys(g);
    return new Function(...names, ...f.params, f.body)(...names.map((n) => g[n]), ...args);
  };
  // Fires a pointer event at client (x, y); returns whether the default was prevented.
  const fire = (type, x, y, fields) => {
    let prevented = false;
    listeners[type]({type, clientX: x, clientY: y, pointerId: 1, pointerType: 'mouse', isPrimary: true,
      button: -1, buttons: 0, ...fields, preventDefault: () => { prevented = true; }});
    return prevented;
  };
  return {g, heap, area, canvas, elements, head, document, listeners, windowListeners, captured, call, fire, signals, timers};
}

// Opens the backend on page p with the title "Town" and a 3-byte icon; its result.
function open(p) {
  p.heap.set([84, 111, 119, 110, 0], 0);  // "Town"
  p.heap.set([0, 0, 1], 8);
  return p.call('lumen_web_open', 0, 8, 3, 1600, 900);
}

// The queued events as [x, y, button, down] rows.
function queued(p) {
  const e = p.g.Module.lumenWeb.events;
  const rows = [];
  for (let i = 0; i < e.length; i += 4) rows.push(e.slice(i, i + 4));
  return rows;
}

const checks = [];
function check(name, body) { checks.push([name, body]); }

check('no page (node): the backend does not open', () => {
  assert.strictEqual(open(page({withDocument: false})), 0);
});

check('the canvas is the canvas size, the title and icon are the record\'s', () => {
  const p = page();
  assert.strictEqual(open(p), 1);
  assert.strictEqual(p.canvas.width, 1600);
  assert.strictEqual(p.canvas.height, 900);
  assert.strictEqual(p.canvas.style.imageRendering, 'pixelated');
  assert.strictEqual(p.document.title, 'Town');
  const icon = p.head.children[0];
  assert.strictEqual(icon.rel, 'icon');
  assert.strictEqual(icon.href, 'data:image/x-icon;base64,' + Buffer.from([0, 0, 1]).toString('base64'));
  assert.match(p.elements['lumen-line'].textContent, /left button.*raise.*right click.*tip/);
});

check('a mouse drag: press, moves and release in order, relative to the area', () => {
  const p = page();
  open(p);
  p.fire('pointermove', 110, 120, {});
  assert.ok(p.fire('pointerdown', 110, 120, {button: 0, buttons: 1}));
  p.fire('pointermove', 310, 130, {buttons: 1});
  p.fire('pointerup', 510, 120, {button: 0, buttons: 0});
  assert.deepStrictEqual(queued(p), [[100, 100, -1, 0], [100, 100, 0, 1], [300, 110, -1, 0], [500, 100, 0, 0]]);
  assert.deepStrictEqual(p.captured, [1]);  // captured while the button is held
});

check('a right click, and a chord: the second button comes as a move with a button', () => {
  const p = page();
  open(p);
  p.fire('pointerdown', 10, 20, {button: 2, buttons: 2});
  p.fire('pointerup', 10, 20, {button: 2, buttons: 0});
  p.fire('pointerdown', 10, 20, {button: 0, buttons: 1});
  p.fire('pointermove', 10, 20, {button: 2, buttons: 3});
  p.fire('pointermove', 10, 20, {button: 2, buttons: 1});
  p.fire('pointerup', 10, 20, {button: 0, buttons: 0});
  assert.deepStrictEqual(queued(p).map((e) => e.slice(2)), [[1, 1], [1, 0], [0, 1], [1, 1], [1, 0], [0, 0]]);
  // A middle button is no button of the program's: only a move.
  p.g.Module.lumenWeb.events.length = 0;
  p.fire('pointerdown', 10, 20, {button: 1, buttons: 4});
  assert.deepStrictEqual(queued(p), [[0, 0, -1, 0]]);
});

// A finger on page p: a pointer event of kind touch at client (x, 20).
function touch(p, type, id, primary, x) {
  return p.fire(type, x, 20, {pointerType: 'touch', pointerId: id, isPrimary: primary,
    button: type === 'pointermove' ? -1 : 0, buttons: type === 'pointerup' ? 0 : 1});
}

check('touch: a finger that moves is the left button from where it touched, a second one the right', () => {
  const p = page();
  open(p);
  assert.ok(touch(p, 'pointerdown', 7, true, 10));
  touch(p, 'pointermove', 7, true, 15);  // within the slop: nothing yet
  assert.deepStrictEqual(queued(p), []);
  touch(p, 'pointermove', 7, true, 60);
  touch(p, 'pointermove', 7, true, 70);  // the frame of the press ends where the finger touched
  assert.deepStrictEqual(queued(p), [[0, 0, 0, 1]]);
  p.call('lumen_web_take_events', 64, 2);
  touch(p, 'pointermove', 7, true, 60);
  touch(p, 'pointerdown', 8, false, 200);
  touch(p, 'pointerup', 8, false, 200);
  touch(p, 'pointerup', 7, true, 60);
  assert.deepStrictEqual(queued(p), [[50, 0, -1, 0], [190, 0, 1, 1], [190, 0, 1, 0], [50, 0, 0, 0]]);
  p.timers.forEach(([f]) => f());  // the hold's timer, had it not been cleared, would add a click
  assert.strictEqual(queued(p).length, 4);
});

check('touch: a finger held still is a right click where it touched; a quick tap a left click', () => {
  const p = page();
  open(p);
  touch(p, 'pointerdown', 7, true, 110);
  assert.deepStrictEqual(p.timers.map(([, ms]) => ms), [500]);
  p.timers[0][0]();
  touch(p, 'pointermove', 7, true, 300);  // a held finger's moves and lift are nothing
  touch(p, 'pointerup', 7, true, 300);
  assert.deepStrictEqual(queued(p), [[100, 0, 1, 1], [100, 0, 1, 0]]);
  p.g.Module.lumenWeb.events.length = 0;
  touch(p, 'pointerdown', 9, true, 60);
  touch(p, 'pointerup', 9, true, 62);
  p.timers[1][0]();
  assert.deepStrictEqual(queued(p), [[50, 0, 0, 1], [52, 0, 0, 0]]);
  // Two fingers down together: one tap of the second, nothing of the first.
  p.g.Module.lumenWeb.events.length = 0;
  touch(p, 'pointerdown', 10, true, 60);
  touch(p, 'pointerdown', 11, false, 90);
  touch(p, 'pointerup', 11, false, 90);
  touch(p, 'pointerup', 10, true, 60);
  p.timers[2][0]();
  assert.deepStrictEqual(queued(p), [[80, 0, 1, 1], [80, 0, 1, 0]]);
});

check('the line speaks of fingers where the pointer is coarse, of the mouse else, and follows use', () => {
  const p = page({coarse: true});
  open(p);
  const line = () => p.elements['lumen-line'].textContent;
  assert.match(line(), /finger.*raise.*hold a finger.*tip/);
  assert.doesNotMatch(line(), /right click|mouse|left button/);
  p.fire('pointerdown', 10, 20, {button: 0, buttons: 1});
  assert.match(line(), /left button.*raise.*right click.*tip/);
  touch(p, 'pointerdown', 4, true, 10);
  assert.match(line(), /finger/);
});

check('a cancelled pointer releases what it held, and only that', () => {
  const p = page();
  open(p);
  p.fire('pointerdown', 10, 20, {button: 0, buttons: 1, pointerId: 3});
  p.fire('pointercancel', 10, 20, {pointerId: 3});
  p.fire('pointercancel', 10, 20, {pointerId: 4});
  assert.deepStrictEqual(queued(p).map((e) => e.slice(2)), [[0, 1], [0, 0]]);
});

check('events are taken in batches into the module\'s memory, each poll counted', () => {
  const p = page();
  open(p);
  for (let i = 0; i < 3; ++i) p.fire('pointermove', 10 + i, 20, {});
  assert.strictEqual(p.call('lumen_web_take_events', 64, 2), 2);
  assert.deepStrictEqual(Array.from(p.g.HEAPF64.slice(8, 16)), [0, 0, -1, 0, 1, 0, -1, 0]);
  assert.strictEqual(p.call('lumen_web_take_events', 64, 2), 1);
  assert.deepStrictEqual(Array.from(p.g.HEAPF64.slice(8, 12)), [2, 0, -1, 0]);
  assert.strictEqual(p.call('lumen_web_take_events', 64, 2), 0);
  assert.strictEqual(p.g.Module.lumenFrames, 3);
});

check('Escape asks to end the run, but not in fullscreen; nothing is queued after close', () => {
  const p = page();
  open(p);
  assert.strictEqual(p.call('lumen_web_close_requested'), 0);
  p.document.fullscreenElement = p.area;
  p.windowListeners.keydown({key: 'Escape'});
  assert.strictEqual(p.call('lumen_web_close_requested'), 0);
  p.document.fullscreenElement = null;
  p.windowListeners.keydown({key: 'a'});
  assert.strictEqual(p.call('lumen_web_close_requested'), 0);
  p.windowListeners.keydown({key: 'Escape'});
  assert.strictEqual(p.call('lumen_web_close_requested'), 1);
  p.call('lumen_web_close');
  p.fire('pointerdown', 10, 20, {button: 0, buttons: 1});
  assert.deepStrictEqual(queued(p), []);
  // Its listeners are removed, so that the page does not keep the ended run alive.
  assert.ok(p.signals.length >= 5 && p.signals.every((s) => s && s.aborted), 'listeners left on the page');
});

let failed = 0;
for (const [name, body] of checks) {
  try {
    body();
    console.log('ok   ' + name);
  } catch (e) {
    failed += 1;
    console.log('FAIL ' + name + '\n' + (e && e.stack ? e.stack : e));
  }
}
process.exit(failed === 0 ? 0 : 1);
