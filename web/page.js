// The page's runs (index.html). stackrise.wasm and Data/Lumen.lmd are fetched once, as the page
// starts (index.html preloads both); the module is compiled while it downloads. Each run is a
// fresh instance of that compiled module made by the factory of stackrise.js (createStackrise,
// cmake/web_page.cmake), as a fresh process: start-up anew, its own memory and in-memory file
// system, a fresh seed unless the address sets LUMEN_SEED. When a run ends the page says how and
// offers the next: the "Play again" button, or Enter or Space.
//
// window.stackrise is the current run's account (web/page_pre.js fills it in): frames, state,
// status, message, readFile(path, binary), list(folder), end(); and the page's own: runs (the
// runs started so far, 1 for the first) and playAgain() (starts the next run once the current
// one has ended; whether it did).
(function () {
  'use strict';

  // The response for `url` when its status is 2xx, else an error naming the file.
  function fetched(url) {
    return fetch(url).then(function (response) {
      if (!response.ok) throw new Error(url + ': ' + response.status + ' ' + response.statusText);
      return response;
    });
  }

  // Compiled as it streams in; from its bytes where the server does not call it application/wasm.
  var compiled = fetched('stackrise.wasm').then(function (response) {
    var copy = response.clone();
    return WebAssembly.compileStreaming(response).catch(function () {
      return copy.arrayBuffer().then(function (bytes) { return WebAssembly.compile(bytes); });
    });
  });
  var library = fetched('Data/Lumen.lmd').then(function (response) { return response.arrayBuffer(); });
  compiled.catch(function () {});  // each run says so (below)
  library.catch(function () {});    // each run says so (web/page_pre.js)

  var runs = 0;
  var current = {state: 'loading', status: null, message: '', frames: 0};

  function element(id) { return document.getElementById(id); }

  // The line under the canvas and the button, for the current run.
  function show(run) {
    if (run !== current) return;
    var over = run.status !== null;
    var line = element('stackrise-status');
    var again = element('stackrise-again');
    if (line) {
      line.textContent = !over ? '' : run.state == 'ended' ? 'The run has ended.' :
        run.message || 'The run ended with exit status ' + run.status + '.';
    }
    if (again) {
      again.hidden = !over;
      if (over) again.focus();
    }
  }

  function play() {
    if (current.status === null && runs > 0) return false;  // the current run is not over
    runs += 1;
    var run = {state: 'loading', status: null, message: '', changed: show};
    current = run;
    createStackrise({
      stackriseRun: run,
      stackriseLibrary: library,
      instantiateWasm: function (imports, receive) {
        compiled
          .then(function (module) {
            return WebAssembly.instantiate(module, imports).then(function (instance) {
              receive(instance, module);
            });
          })
          .catch(function (e) { run.fail('Stackrise: cannot load the program: ' + e.message); });
        return {};
      }
    }).catch(function () {});  // its end is the run's account's
    show(run);
    return true;
  }

  window.stackrise = {
    get runs() { return runs; },
    get frames() { return current.frames; },
    get state() { return current.state; },
    get status() { return current.status; },
    get message() { return current.message; },
    readFile: function (path, binary) { return current.readFile ? current.readFile(path, binary) : null; },
    list: function (folder) { return current.list ? current.list(folder) : null; },
    end: function () { if (current.end) current.end(); },
    playAgain: play
  };

  var again = element('stackrise-again');
  if (again) again.addEventListener('click', play);
  window.addEventListener('keydown', function (e) {
    if ((e.key == 'Enter' || e.key == ' ') && current.status !== null && !e.repeat) {
      e.preventDefault();
      play();
    }
  });
  play();
})();
