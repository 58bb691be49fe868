// Runs before the program's main on the page (build-web/site/): the page's side of the run.
//
// window.stackrise tells a test and the page how the run goes: frames (Act calls so far),
// state ('loading' | 'running' | 'ended' | 'fault'), status (the exit status once ended, else
// null), message (the diagnostic line, or ''), readFile(path) (an in-memory file's text, or
// null) and end() (a close request: the next Act ends the run in order). Query parameters
// named LUMEN_* become the program's environment; Data/Lumen.lmd is fetched beside the page
// into the in-memory file system, at the program's folder '/'.

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

var stackrise = {
  state: 'loading',
  status: null,
  message: '',
  get frames() { return Module['lumenFrames'] || 0; },
  readFile: function (path) {
    try {
      return FS.readFile(path, {encoding: 'utf8'});
    } catch (e) {
      return null;
    }
  },
  end: function () { Module['lumenCloseRequested'] = true; }
};
if (typeof window == 'object') window['stackrise'] = stackrise;

// One line under the canvas: how the run ended, or its fault.
function stackriseShow(text) {
  var line = typeof document == 'object' && document.getElementById('stackrise-status');
  if (line) line.textContent = text;
}

function stackriseEnded(status) {
  if (stackrise.status !== null) return;
  stackrise.status = status;
  stackrise.state = stackriseEndState(status, stackrise.message);
  if (stackrise.state == 'ended') stackriseShow('The run has ended (exit status ' + status + ').');
}

// A fault the program could not report itself: its run is over.
function stackriseFailed(text) {
  if (stackrise.status !== null) return;
  if (stackrise.message === '') stackrise.message = text;
  console.error(text);
  stackriseShow(text);
  stackrise.status = 1;
  stackrise.state = 'fault';
}

Module['stackriseFolder'] = '/';
Module['printErr'] = function (text) { console.error(text); };
// The run's diagnostic line (the first: a run writes one); the console has it from stderr.
Module['onDiagnostic'] = function (line) {
  if (stackrise.message !== '') return;
  stackrise.message = line;
  stackriseShow(line);
};
Module['onRuntimeInitialized'] = function () { stackrise.state = 'running'; };
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
  fetch('Data/Lumen.lmd')
    .then(function (response) {
      if (!response.ok) {
        throw new Error('Data/Lumen.lmd: ' + response.status + ' ' + response.statusText);
      }
      return response.arrayBuffer();
    })
    .then(function (bytes) {
      FS.mkdirTree('/Data');
      FS.writeFile('/Data/Lumen.lmd', new Uint8Array(bytes));
    })
    .catch(function (e) { console.error(String(e)); })  // binding then fails as without the library
    .finally(function () { removeRunDependency('Data/Lumen.lmd'); });
});
