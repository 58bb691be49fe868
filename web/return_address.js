// __builtin_return_address in the web build, which names the places of faults: the place in the
// WebAssembly function that called the asking one, `level` callers up, as an offset in the
// module's file. Emscripten's own counts every frame of the stack; but a call that may throw
// runs through a JavaScript invoke_* wrapper between WebAssembly adapters, and it named those.
// Here only the module's own functions count: frames of JavaScript and of the adapters
// (dynCall_*, legalstub$*, legalfunc$*, named in the module's name section, which the web build
// keeps) are passed over. 0 when there is no such caller.
mergeInto(LibraryManager.library, {
  emscripten_return_address__deps: [],
  emscripten_return_address: function (level) {
    var limit = Error.stackTraceLimit;
    Error.stackTraceLimit = 64;
    var stack = new Error().stack;
    Error.stackTraceLimit = limit;
    var places = [];
    stack.split('\n').forEach(function (frame) {
      var place = /\bwasm-function\[\d+\]:(0x[0-9a-f]+)/.exec(frame);
      if (place && !/\b(dynCall_|legalstub\$|legalfunc\$)/.test(frame)) places.push(+place[1]);
    });
    // places[0] is in the asking function.
    return places[level + 1] || 0;
  },
});
