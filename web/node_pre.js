// Runs before the program's main in node: the program's environment is the process's, so that
// Lumen reads LUMEN_* from it as everywhere (emscripten otherwise gives the module a fixed one).
Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  if (typeof process === 'object' && process.env) {
    for (var name in process.env) ENV[name] = process.env[name];
  }
});
