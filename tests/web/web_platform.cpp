#include "web_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace web {

namespace {

// Reads a WebAssembly module's unsigned LEB128 numbers and bytes; past the end, `ok` turns false
// and everything reads 0.
struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool ok = true;

    uint8_t byte() {
        if (at >= bytes.size()) {
            ok = false;
            return 0;
        }
        return static_cast<uint8_t>(bytes[at++]);
    }
    uint64_t leb() {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const uint8_t b = byte();
            value |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80) || !ok) return value;
        }
        ok = false;
        return value;
    }
    std::string name() {
        const uint64_t size = leb();
        if (!ok || size > bytes.size() - at) {
            ok = false;
            return "";
        }
        at += size;
        return bytes.substr(at - size, size);
    }
};

// Skips an import's description; whether it imports a function.
bool importsFunction(Reader& r) {
    switch (r.byte()) {
        case 0:  // function: its type
            r.leb();
            return true;
        case 1:  // table: element type, limits
            r.byte();
            [[fallthrough]];
        case 2: {  // memory: limits (flags, minimum, maximum if flag 1)
            const uint64_t flags = r.leb();
            r.leb();
            if (flags & 1) r.leb();
            return false;
        }
        case 3:  // global: value type, mutability
            r.byte();
            r.byte();
            return false;
        case 4:  // tag: attribute, type
            r.byte();
            r.leb();
            return false;
        default:
            r.ok = false;
            return false;
    }
}

}  // namespace

std::vector<WasmFunction> wasmFunctions(const std::string& bytes) {
    if (bytes.compare(0, 8, std::string("\0asm\1\0\0\0", 8)) != 0) return {};
    Reader r{bytes, 8};
    uint64_t imported = 0;
    std::vector<WasmFunction> functions;
    std::vector<std::pair<uint64_t, std::string>> names;  // function index, name
    while (r.ok && r.at < bytes.size()) {
        const uint8_t id = r.byte();
        const uint64_t size = r.leb();
        if (!r.ok || size > bytes.size() - r.at) return {};
        const size_t end = r.at + size;
        if (id == 2) {
            for (uint64_t n = r.leb(); n > 0 && r.ok; --n) {
                r.name();
                r.name();
                imported += importsFunction(r);
            }
        } else if (id == 10) {
            for (uint64_t n = r.leb(); n > 0 && r.ok; --n) {
                const uint64_t length = r.leb();
                functions.push_back({r.at, r.at + length, ""});
                r.at += length;
            }
        } else if (id == 0 && r.name() == "name") {
            while (r.ok && r.at < end) {
                const uint8_t part = r.byte();
                const uint64_t partSize = r.leb();
                const size_t partEnd = r.at + partSize;
                if (part == 1) {  // function names
                    for (uint64_t n = r.leb(); n > 0 && r.ok; --n) {
                        const uint64_t index = r.leb();
                        names.emplace_back(index, r.name());
                    }
                }
                r.at = partEnd;
            }
        }
        r.at = end;
    }
    if (!r.ok) return {};
    for (auto& [index, name] : names) {
        if (index >= imported && index - imported < functions.size()) functions[index - imported].name = name;
    }
    return functions;
}

std::string functionHolding(const std::vector<WasmFunction>& functions, uint64_t place) {
    for (const auto& f : functions) {
        if (place >= f.begin && place < f.end) return f.name;
    }
    return "";
}

namespace {

// `s` as one word of the shell.
std::string quoted(const std::string& s) {
    std::string out = "'";
    for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Writes at `path` a shell script that runs `program` with `node`; returns `path`.
std::string writeLauncher(const std::string& node, const std::string& program, const std::string& path) {
    std::string script = "#!/bin/sh\nexec ";
    script.append(quoted(node)).append(" ").append(quoted(program)).append("\n");
    e2e::writeFile(path, script);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// The function of the module `wasm` that holds the place "stackrise.wasm+0xOFFSET" named in a
// diagnostic line; "" if the line names no such place.
std::string functionIn(const std::string& wasm, const std::string& diagnosticLine) {
    std::smatch m;
    if (!std::regex_search(diagnosticLine, m, std::regex(R"(\(stackrise\.wasm\+0x([0-9a-f]+)\))"))) return "";
    return functionHolding(wasmFunctions(e2e::readFile(wasm)), std::stoull(m[1].str(), nullptr, 16));
}

}  // namespace

Web::Web(std::string node, std::string program)
    : node_(std::move(node)),
      program_(std::move(program)),
      wasm_(fs::path(program_).replace_filename("stackrise.wasm").string()),
      launcher_(writeLauncher(node_, program_, e2e::tempDir("weblauncher") + "/stackrise")),
      quitScript_(e2e::tempDir("webquit") + "/quit.script") {
    e2e::writeFile(quitScript_, "1 quit\n");
}

std::string Web::install(const std::string& library) const {
    const std::string dir = e2e::tempDir("webinstall");
    const fs::path from = fs::path(program_).parent_path();
    fs::copy_file(program_, dir + "/stackrise.js");
    fs::copy_file(from / "stackrise.wasm", dir + "/stackrise.wasm");
    if (!library.empty()) {
        fs::create_directories(dir + "/Data");
        fs::copy_file(library, dir + "/Data/Lumen.lmd");
    }
    return writeLauncher(node_, dir + "/stackrise.js", dir + "/stackrise");
}

std::string Web::lumen() const { return fs::path(program_).replace_filename("Data/Lumen.lmd").string(); }

std::string Web::fake(const std::string& name) const {
    const std::string built = fs::path(program_).replace_filename("Data/Lumen.lmd").string();
    std::vector<std::string> list = e2e::lines(e2e::readFile(built));
    if (list.empty()) {
        ADD_FAILURE() << "cannot read " << built;
        return "";
    }
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    if (name == "fake_extra") {
        list.push_back("ExtraName");
    } else if (name.rfind("fake_no_", 0) == 0) {
        const std::string omitted = name.substr(8);
        const auto named =
            std::find_if(list.begin() + 1, list.end(), [&](const std::string& n) { return lower(n) == omitted; });
        if (named == list.end()) {
            ADD_FAILURE() << "the export list has no name for " << name;
        } else {
            list.erase(named);
        }
    } else if (name != "fake_complete") {
        ADD_FAILURE() << "no web form of the stand-in " << name;
        return "";
    }
    std::string text;
    for (const auto& line : list) text += line + "\n";
    const std::string path = e2e::tempDir("webfake") + "/" + name + ".lmd";
    e2e::writeFile(path, text);
    return path;
}

e2e::Run Web::run(const std::string& exe, const std::map<std::string, std::string>& env,
                  const std::string& cwd) const {
    std::map<std::string, std::string> all = {{"LUMEN_SCRIPT", quitScript_}};
    for (const auto& [k, v] : env) all[k] = v;
    return e2e::run(exe, all, cwd);
}

e2e::Run Web::runArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) const {
    e2e::RunOptions options;
    options.args = {program_};
    options.args.insert(options.args.end(), args.begin(), args.end());
    return e2e::run(node_, env, options);
}

e2e::Run Web::runScript(const std::string& script, const std::string& seed) const {
    return e2e::runScript(launcher_, script, seed);
}

std::string Web::functionAt(const std::string& exe, const std::string& diagnosticLine) const {
    return functionIn(fs::path(exe).replace_filename("stackrise.wasm").string(), diagnosticLine);
}

bool Web::placeInLumen(const std::string& diagnosticLine) const {
    return functionIn(wasm_, diagnosticLine).rfind("lumen::", 0) == 0;
}

}  // namespace web
