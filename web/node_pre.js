// Runs before the program's main in node: the program's environment is the process's, so that
// Lumen reads LUMEN_* from it as everywhere (emscripten otherwise gives the module a fixed one).
Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  if (typeof process === 'object' && process.env) {
    // The module writes each variable a byte a character: hand it the value's UTF-8 bytes, so
    // that a path with accents, CJK or emoji reaches Lumen as the host gave it.
    for (var name in process.env) ENV[name] = unescape(encodeURIComponent(process.env[name]));
  }
});
