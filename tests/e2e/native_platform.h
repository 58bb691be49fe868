// The native build as an e2e::Platform: its program run directly, the stand-ins built beside it.
#pragma once

#include <filesystem>
#include <string>

#include "harness.h"
#include "platform_cases.h"

namespace e2e {

class Native : public Platform {
public:
    // `exe`: the built program; `fakes`: the folder of the stand-ins ("" where none are built).
    Native(std::string exe, std::string fakes) : exe_(std::move(exe)), fakes_(std::move(fakes)) {}

    std::string install(const std::string& library) const override {
        const std::string dir = tempDir("install");
        std::filesystem::copy_file(exe_, dir + "/stackrise");
        if (!library.empty()) {
            std::filesystem::create_directories(dir + "/Data");
            std::filesystem::copy_file(library, dir + "/Data/Lumen.lmd");
        }
        return dir + "/stackrise";
    }
    std::string fake(const std::string& name) const override { return fakes_ + "/" + name + ".lmd"; }
    std::string lumen() const override {
        return std::filesystem::path(exe_).parent_path().string() + "/Data/Lumen.lmd";
    }
    Run run(const std::string& exe, const std::map<std::string, std::string>& env,
            const std::string& cwd) const override {
        return e2e::run(exe, env, cwd);
    }
    Run runScript(const std::string& script, const std::string& seed) const override {
        return e2e::runScript(exe_, script, seed);
    }
    Run runArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) const override {
        RunOptions options;
        options.args = args;
        return e2e::run(exe_, env, options);
    }
    std::vector<std::string> errLines(const std::string& err) const override { return lines(err); }
    std::string functionAt(const std::string& exe, const std::string& diagnosticLine) const override {
        return e2e::functionAt(exe, diagnosticLine);
    }

private:
    std::string exe_;
    std::string fakes_;
};

}  // namespace e2e
