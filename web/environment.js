// Runs before the program's main, in node and on the page: how a LUMEN_* value reaches the
// program. Emscripten hands each environment string over a byte per character (its low byte),
// so a value is given as its UTF-8 bytes, one character each, and reaches Lumen as UTF-8.
function stackriseEnvironmentValue(text) {
  var bytes = new TextEncoder().encode(String(text));
  var out = '';
  for (var i = 0; i < bytes.length; ++i) out += String.fromCharCode(bytes[i]);
  return out;
}
