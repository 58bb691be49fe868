#include "harness.h"

#include <chrono>
#include <regex>
#include <thread>

#include "support/process.h"

namespace e2e {

Run run(const std::string& exe, const std::map<std::string, std::string>& env, const std::string& cwd,
        int timeoutSeconds) {
    RunOptions options;
    options.cwd = cwd;
    options.timeoutSeconds = timeoutSeconds;
    return run(exe, env, options);
}

Run run(const std::string& exe, const std::map<std::string, std::string>& env, const RunOptions& options) {
    const test_support::TempDir dir("run");
    const std::string tracePath = dir.path() + "/trace.txt";
    test_support::Command command;
    command.argv = options.through;
    if (options.redirections.empty()) {
        command.argv.push_back(exe);
        command.argv.insert(command.argv.end(), options.args.begin(), options.args.end());
    } else {
        // The shell opens what the redirections name, as a user's shell does; $0 is the program
        // and its arguments follow.
        for (const std::string& a :
             std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" " + options.redirections, exe})
            command.argv.push_back(a);
        command.argv.insert(command.argv.end(), options.args.begin(), options.args.end());
    }
    command.env = test_support::childEnv(dir.path());
    if (options.trace) (*command.env)["LUMEN_TRACE"] = tracePath;
    for (const auto& [k, v] : env) (*command.env)[k] = v;
    command.cwd = options.cwd;
    command.errPath = dir.path() + "/stderr.txt";
    command.outPath = dir.path() + "/stdout.txt";
    command.closeStderr = options.closeStderr;
    test_support::WaitOptions wait;
    wait.signal = options.signal;
    wait.signalAfter = std::chrono::milliseconds(options.signalAfterMs);
    const pid_t child = test_support::spawn(command);
    if (options.meanwhile) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.meanwhileAfterMs));
        options.meanwhile();
    }
    Run result;
    result.status = test_support::waitFor(child, std::chrono::seconds(options.timeoutSeconds), wait).status;
    result.err = readFile(command.errPath);
    result.out = readFile(command.outPath);
    result.trace = test_support::readLines(tracePath);
    return result;
}

Run runScript(const std::string& exe, const std::string& script, const std::string& seed,
              const std::map<std::string, std::string>& extraEnv) {
    const test_support::TempDir dir("script");
    const std::string path = dir.path() + "/input.script";
    writeFile(path, script);
    std::map<std::string, std::string> env = {{"LUMEN_SCRIPT", path}, {"LUMEN_SEED", seed}};
    for (const auto& [k, v] : extraEnv) env[k] = v;
    return run(exe, env);
}

std::string functionAt(const std::string& exe, const std::string& diagnosticLine) {
    std::smatch m;
    if (!std::regex_search(diagnosticLine, m, std::regex(R"(\(stackrise\+(0x[0-9a-f]+)\))"))) return "";
    const std::string out = test_support::shellOutput("addr2line -f -C -e " + exe + " " + m[1].str());
    return out.substr(0, out.find('\n'));
}

}  // namespace e2e
