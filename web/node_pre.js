// Runs before the program's main in node: the program's environment is the process's, so that
// Lumen reads LUMEN_* from it as everywhere (emscripten otherwise gives the module a fixed one),
// each value as UTF-8 (web/environment.js).
Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  if (typeof process === 'object' && process.env) {
    for (var name in process.env) ENV[name] = stackriseEnvironmentValue(process.env[name]);
  }
  // A pipe, FIFO, terminal or device is read where it stands (LUMEN_SCRIPT=/dev/stdin from a
  // pipe): the host's file system would read every file at an offset, which a pipe refuses.
  var open = FS.open;
  FS.open = function () {
    var stream = open.apply(this, arguments);
    if (stream && stream.nfd !== undefined && !fs.fstatSync(stream.nfd).isFile()) stream.seekable = false;
    return stream;
  };
});
