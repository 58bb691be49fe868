// Runs before the program's main on the page, in each run's instance of the module (the factory
// createStackrise, cmake/web_page.cmake): that run's side. web/page.js makes the runs and shows
// them; it hands each instance Module.stackriseRun, the run's account, which this fills in:
//
// frames (Act calls so far), state ('loading' | 'running' | 'ended' | 'fault'), status (the exit
// status once ended, else null), message (the diagnostic line, or ''), readFile(path, binary)
// (an in-memory file's text, or its bytes when `binary`; null when there is none), list(folder)
// (an in-memory folder's names, or null), end() (a close request: the next Act ends the run in
// order) and fail(text) (a fault the program could not report). Its changed(run), when set, is
// called at each change of state. Query parameters named LUMEN_* become the program's
// environment; Data/Lumen.lmd (Module.stackriseLibrary: a promise of its bytes) goes into the
// in-memory file system, at the program's folder '/'.

// The LUMEN_* parameters of a query string ('?LUMEN_SEED=7&...'), as name -> value.
function stackriseEnvironment(search) {
  var env = {};
  new URLSearchParams(search).forEach(function (value, name) {
    if (/^LUMEN_[A-Z0-9_]*$/.test(name)) env[name] = value;
  });
  return env;
}

// The state of a run that ended with `status` after `message` ('' when none was written).
function stackriseEndState(status, message) {
  return message !== '' || status !== 0 ? 'fault' : 'ended';
}

var stackriseRun = Module['stackriseRun'] || {};
stackriseRun.state = 'loading';
stackriseRun.status = null;
stackriseRun.message = '';
Object.defineProperty(stackriseRun, 'frames', {
  get: function () { return Module['lumenFrames'] || 0; }, configurable: true
});
stackriseRun.readFile = function (path, binary) {
  try {
    return FS.readFile(path, binary ? {} : {encoding: 'utf8'});
  } catch (e) {
    return null;
  }
};
stackriseRun.list = function (folder) {
  try {
    return FS.readdir(folder);
  } catch (e) {
    return null;
  }
};
stackriseRun.end = function () { Module['lumenCloseRequested'] = true; };

function stackriseChanged() {
  if (stackriseRun.changed) stackriseRun.changed(stackriseRun);
}

// The run is over: the page's listeners go (the backend's, lumen/backends/web.cpp), so that
// nothing keeps this instance alive once the page has moved on to the next run.
function stackriseOver(status, state) {
  stackriseRun.status = status;
  stackriseRun.state = state;
  if (Module['lumenWeb'] && Module['lumenWeb'].detach) Module['lumenWeb'].detach();
  stackriseChanged();
}

function stackriseEnded(status) {
  if (stackriseRun.status === null) stackriseOver(status, stackriseEndState(status, stackriseRun.message));
}

// A fault the program could not report itself: its run is over.
function stackriseFailed(text) {
  if (stackriseRun.status !== null) return;
  if (stackriseRun.message === '') stackriseRun.message = text;
  console.error(text);
  stackriseOver(1, 'fault');
}
stackriseRun.fail = stackriseFailed;

// The diagnostic lines seen (the page is told of one before it reaches stderr): stderr's lines
// are faults' only when they are one of these or come after the run failed; the others (the seed,
// how to play) are informational.
var stackriseDiagnostics = {};
Module['printErr'] = function (text) {
  if (stackriseDiagnostics[text] || stackriseRun.state == 'fault') console.error(text);
  else console.info(text);
};
Module['onDiagnostic'] = function (line) {
  stackriseDiagnostics[line] = true;
  if (stackriseRun.message === '') stackriseRun.message = line;
};
Module['stackriseFolder'] = '/';
Module['onRuntimeInitialized'] = function () {
  stackriseRun.state = 'running';
  stackriseChanged();
};
Module['onExit'] = stackriseEnded;
Module['onAbort'] = function (what) { stackriseFailed('Stackrise: the run was aborted: ' + what); };
// An error out of the program after an animation frame resumed it: its end, or a failure.
Module['onRunError'] = function (e) {
  if (e instanceof ExitStatus) {
    stackriseEnded(e.status);
  } else {
    stackriseFailed('Stackrise: ' + String(e && e.message !== undefined ? e.message : e));
  }
};

Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  var env = stackriseEnvironment(typeof location == 'object' ? location.search : '');
  for (var name in env) ENV[name] = stackriseEnvironmentValue(env[name]);
  addRunDependency('Data/Lumen.lmd');
  Promise.resolve(Module['stackriseLibrary'])
    .then(function (bytes) {
      if (!bytes) throw new Error('Data/Lumen.lmd: not given to the run');
      FS.mkdirTree('/Data');
      FS.writeFile('/Data/Lumen.lmd', new Uint8Array(bytes));
    })
    .catch(function (e) { console.error(String(e)); })  // binding then fails as without the library
    .finally(function () { removeRunDependency('Data/Lumen.lmd'); });
});
