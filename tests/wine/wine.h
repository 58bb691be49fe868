// Helpers of the Windows end-to-end tests: Windows programs run under wine64 through the e2e
// harness, PE headers and exports, PNG images, and a virtual X display.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace win {

inline const std::string kBin = WIN_BIN;      // the Windows tree's bin/: stackrise.exe, Data/Lumen.lmd
inline const std::string kTests = WIN_TESTS;  // the Windows tree's tests/wine: fakes, icon_probe.exe
inline const std::string kLinuxExe = LINUX_EXE;

// WINEPREFIX (the fixture's), WINEDEBUG=-all and DISPLAY (the fixture's), added to every run.
std::map<std::string, std::string> wineEnv();

// A shell script, in a fresh directory, that runs the Windows program `exe` under wine64 with
// `args`; the harness runs it as it runs a Linux program.
std::string launcher(const std::string& exe, const std::vector<std::string>& args = {});

// e2e::run and e2e::runScript for a Windows program.
e2e::Run run(const std::string& exe, const std::map<std::string, std::string>& env,
             const std::string& cwd = "", int timeoutSeconds = 60);
e2e::Run runScript(const std::string& exe, const std::string& script, const std::string& seed = "1",
                   const std::map<std::string, std::string>& extraEnv = {});

// A copy of stackrise.exe in a directory of its own with `library` ("" for none) as
// Data/Lumen.lmd beside it. Returns the copy's path.
std::string install(const std::string& library);

// The trace with the Init line's build identifier masked ("build=*"), for comparing platforms.
std::vector<std::string> withoutBuildId(const std::vector<std::string>& trace);
// The build identifier of the trace's Init line; 0 if there is none.
uint64_t buildIdOf(const std::vector<std::string>& trace);

struct PeFile {
    bool ok = false;
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint32_t timeStamp = 0;      // FileHeader.TimeDateStamp, s since 1970 UTC
    uint16_t subsystem = 0;      // 2 GUI, 3 console
    uint64_t imageBase = 0;
    std::string exportName;      // the export directory's module name
    std::vector<std::string> exports;  // exported names in table order
};
PeFile readPe(const std::string& path);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes, top row first
    bool operator==(const Image&) const = default;
};
// The PNG at `path` without its alpha; an empty image if it cannot be read.
Image readPng(const std::string& path);
Image crop(const Image& image, int x, int y, int w, int h);
// Pixels of `a` and `b` (same size) that differ.
long differingPixels(const Image& a, const Image& b);

// Starts `argv` with `env` as the whole environment, stdin and stdout from /dev/null and
// stderr into `errPath`. Returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& errPath);
// Waits for `pid` at most `seconds`: its exit status, or -1 at the deadline (killed then, unless
// killAtEnd is false and it is left running).
int waitFor(pid_t pid, int seconds, bool killAtEnd = true);
// Runs a shell command; its standard output (standard error is dropped).
std::string shell(const std::string& command);

// The fixture's virtual display (":N"), on which Wine's desktop runs; "" if there is none.
std::string display();

}  // namespace win
