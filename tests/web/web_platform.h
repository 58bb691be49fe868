// The web build as an e2e::Platform: stackrise.js run by node, its library an export list of the
// Lumen linked into stackrise.wasm (docs/internals.md, "The web build").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform_cases.h"

namespace web {

// A function of a WebAssembly module: where its body lies in the module's file, and its name.
struct WasmFunction {
    uint64_t begin = 0;  // file offset of the body's first byte
    uint64_t end = 0;    // one past its last byte
    std::string name;    // from the name section ("" if the module names it not)
};
// The functions defined in the module `bytes` (imports have no body), in order; none if it is no
// WebAssembly module or cannot be read.
std::vector<WasmFunction> wasmFunctions(const std::string& bytes);
// The name of the function whose body holds the file offset `place`; "" if none does.
std::string functionHolding(const std::vector<WasmFunction>& functions, uint64_t place);

class Web : public e2e::Platform {
public:
    // `node`: the node program; `program`: the built stackrise.js, with stackrise.wasm and
    // Data/Lumen.lmd beside it.
    Web(std::string node, std::string program);

    // A folder with stackrise.js, stackrise.wasm, `library` as Data/Lumen.lmd, and `stackrise`, a
    // shell script that runs that stackrise.js with node: the script's path.
    std::string install(const std::string& library) const override;
    // The stand-ins as export lists of the built Lumen: fake_complete the list itself, fake_extra
    // one name more, fake_no_NAME the list without NAME (any case).
    std::string fake(const std::string& name) const override;
    std::string lumen() const override;
    // Node has no display: a run without a script is given one that ends the run at frame 1,
    // as the stand-ins' Act does (a real Lumen would play its demo and say so).
    e2e::Run run(const std::string& exe, const std::map<std::string, std::string>& env,
                 const std::string& cwd) const override;
    e2e::Run runScript(const std::string& script, const std::string& seed) const override;
    // node stackrise.js ARGS: the arguments as node's process.argv gives them.
    e2e::Run runArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) const override;
    std::vector<std::string> errLines(const std::string& err) const override { return e2e::lines(err); }
    // The place "stackrise.wasm+0xOFFSET" named by the name section of the copy's stackrise.wasm.
    std::string functionAt(const std::string& exe, const std::string& diagnosticLine) const override;
    // Lumen is linked into the module: its places are those in functions of namespace lumen.
    bool placeInLumen(const std::string& diagnosticLine) const override;

private:
    std::string node_;
    std::string program_;
    std::string wasm_;        // beside program_
    std::string launcher_;    // runs program_
    std::string quitScript_;  // "1 quit"
};

}  // namespace web
