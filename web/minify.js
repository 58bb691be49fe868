// Shortens the local names of a script as the page serves it: node minify.js TERSER IN OUT,
// TERSER the toolchain's terser.js (emscripten's, beside its tools). Names at the top level,
// properties and strings stay as they are, so what other scripts and the tests reach by name
// (createStackrise, window.stackrise, Module's members) is untouched; the comments go. The
// page's module script is a factory (-sMODULARIZE=1) whose whole runtime is local to it.
'use strict';
const fs = require('fs');
const acorn = require('acorn');  // through NODE_PATH, as the toolchain's own tools find it

const [terserPath, input, output] = process.argv.slice(2);
if (!output) {
  console.error('usage: node minify.js TERSER IN OUT');
  process.exit(2);
}
const terser = require(terserPath);
const ast = terser.AST_Node.from_mozilla_ast(acorn.parse(fs.readFileSync(input, 'utf8'), {ecmaVersion: 2020}));
ast.figure_out_scope();
ast.compute_char_frequency({});
ast.mangle_names({toplevel: false});
fs.writeFileSync(output, ast.print_to_string({beautify: false}) + '\n');
