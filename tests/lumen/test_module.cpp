// The built Data/Lumen.lmd loaded as the program loads it: the 132 names, exactly; each of the
// 121 unsupported ones raises 1001 with its message; the caller's floating-point mode comes
// back after a return and after a fault; a short scripted run through the C entry points.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <xmmintrin.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "lumen/lumen.h"
#include "support/files.h"
#include "support/trace.h"

namespace {

const char* const kNames[] = {
#define NAME_STRING(n, ...) #n,
    LUMEN_NAMES(NAME_STRING)
#undef NAME_STRING
};
const std::set<std::string> kCalled = {
#define NAME_STRING(n, ...) #n,
    LUMEN_CALLED_NAMES(NAME_STRING)
#undef NAME_STRING
};

std::string tracePath, scriptPath;

void* module() {
    static void* handle = dlopen(LUMEN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <class Fn>
Fn entry(const char* name) {
    return reinterpret_cast<Fn>(dlsym(module(), name));
}

std::string messageText(const lumen::Fault& f) {
    if (f.argument == 0) return "null";
    const auto* s = reinterpret_cast<const lumen::String*>(f.argument);
    std::string out;
    for (int64_t i = 0; i < s->length; ++i) out += static_cast<char>(s->units[i]);  // ASCII here
    return out;
}

std::vector<std::string> traceLines() { return test_support::readLines(test_support::traceFileNow(tracePath)); }

}  // namespace

TEST(Module, ExportsAll132Names) {
    // The table in lumen.h holds the 132 names, 11 of them called by the program.
    EXPECT_EQ(std::size(kNames), 132u);
    EXPECT_EQ(lumen::kNameCount, 132);
    EXPECT_EQ(kCalled.size(), 11u);
    EXPECT_EQ(lumen::kCalledCount, 11);
    ASSERT_NE(module(), nullptr) << dlerror();
    for (const char* name : kNames) EXPECT_NE(dlsym(module(), name), nullptr) << name;
}

TEST(Module, ExportsNothingElse) {
    const std::string command = "nm -D --defined-only " + std::string(LUMEN_MODULE_PATH) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3) exported.insert(name);
    }
    const int status = pclose(pipe);
    if (status != 0 && exported.empty()) GTEST_SKIP() << "nm is not available";
    const std::set<std::string> expected(std::begin(kNames), std::end(kNames));
    EXPECT_EQ(exported, expected);
}

TEST(Module, EveryUnsupportedNameRaises1001WithItsName) {
    auto freeMem = entry<LumenFreeMemFn>("FreeMem");
    ASSERT_NE(freeMem, nullptr);
    int unsupported = 0;
    for (const char* name : kNames) {
        if (kCalled.count(name)) continue;
        ++unsupported;
        auto fn = entry<void (*)()>(name);
        ASSERT_NE(fn, nullptr) << name;
        try {
            fn();
            ADD_FAILURE() << name << " returned";
        } catch (const lumen::Fault& f) {
            EXPECT_EQ(f.code, lumen::kUnsupported) << name;
            EXPECT_EQ(messageText(f), std::string("Lumen: ") + name + " is not supported");
            // The raising place lies in Lumen's code.
            Dl_info info{};
            ASSERT_NE(dladdr(reinterpret_cast<void*>(f.address), &info), 0) << name;
            EXPECT_NE(std::string(info.dli_fname).find("Lumen.lmd"), std::string::npos);
            freeMem(reinterpret_cast<void*>(f.argument));
        }
    }
    EXPECT_EQ(unsupported, 121);
    // Each was traced by its bare name before its raise line.
    const auto lines = traceLines();
    bool found = false;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == "StopBGMFade") {
            found = lines[i + 1] == "raise 1001 \"Lumen: StopBGMFade is not supported\"";
        }
    }
    EXPECT_TRUE(found);
}

TEST(Module, CallerModeIsRestoredOnReturnAndOnFault) {
    auto allocMem = entry<LumenAllocMemFn>("AllocMem");
    auto freeMem = entry<LumenFreeMemFn>("FreeMem");
    auto stop = entry<void (*)()>("Stop");
    const uint32_t saved = _mm_getcsr();
    // The program's own mode: toward zero, invalid-operation trap unmasked.
    _mm_setcsr(0x7F00);
    void* block = allocMem(64, u"mode");
    const uint32_t afterReturn = _mm_getcsr();
    uint32_t afterFault = 0;
    uint64_t message = 0;
    try {
        stop();
    } catch (const lumen::Fault& f) {
        afterFault = _mm_getcsr();
        message = f.argument;
    }
    const uint32_t afterCatch = _mm_getcsr();
    _mm_setcsr(saved);
    freeMem(block);
    freeMem(reinterpret_cast<void*>(message));
    EXPECT_EQ(afterReturn, 0x7F00u);
    EXPECT_EQ(afterFault, 0x7F00u);
    EXPECT_EQ(afterCatch, 0x7F00u);
}

TEST(Module, AScriptedRunThroughTheEntryPoints) {
    auto allocMem = entry<LumenAllocMemFn>("AllocMem");
    auto freeMem = entry<LumenFreeMemFn>("FreeMem");
    auto init = entry<LumenInitFn>("Init");
    auto act = entry<LumenActFn>("Act");
    auto mouse = entry<LumenMouseFn>("Mouse");
    auto mouseX = entry<LumenMouseXFn>("MouseX");
    auto rnd = entry<LumenRndFn>("Rnd");
    auto drawRect = entry<LumenDrawRectFn>("DrawRect");
    auto freeFn = entry<LumenFreeFn>("Free");

    void* config = allocMem(48, nullptr);
    alignas(8) unsigned char titleBytes[64] = {};
    auto* title = reinterpret_cast<lumen::String*>(titleBytes);
    title->count = 1;
    title->length = 2;
    title->units[0] = u'S';
    title->units[1] = u'r';
    title->units[2] = 0;
    uint64_t cell = 0;
    lumen::InitRecord record{0x1122334455667788ull, 1, nullptr, nullptr, &cell, title};
    init(&record);
    act();
    EXPECT_EQ(mouse(0), 1);
    EXPECT_EQ(mouseX(), 300.0);
    const int64_t v = rnd(2, 5);
    EXPECT_TRUE(v >= 2 && v <= 5);
    drawRect(1, 2, 3, 4, 0.5, 0.5, 0.5, 0.8);
    uint32_t code = 99;
    try {
        act();
    } catch (const lumen::Fault& f) {
        code = f.code;
    }
    EXPECT_EQ(code, lumen::kEndOfRun);
    freeFn();
    freeMem(config);

    const auto lines = traceLines();
    std::size_t at = 0;
    while (at < lines.size() && lines[at].rfind("Init ", 0) != 0) ++at;
    ASSERT_LT(at, lines.size());
    ASSERT_GE(at, 1u);
    EXPECT_EQ(lines[at - 1].substr(0, 15), "AllocMem 48 nul");
    const std::vector<std::string> tail(lines.begin() + static_cast<long>(at), lines.end());
    const std::vector<std::string> expected = {
        "Init title=\"Sr\" build=0x1122334455667788 one=1 instance=null icon=null faultcell=set",
        "Act 1",
        "Mouse 0 -> 1",
        "MouseX -> 300",
        "Rnd 2 5 -> " + std::to_string(v),
        "DrawRect 1 2 3 4 0.5 0.5 0.5 0.8",
        "Act 2",
        "raise 0 null",
        "Free live=1",
        tail.back().rfind("FreeMem #", 0) == 0 ? tail.back() : "FreeMem #?",
    };
    EXPECT_EQ(tail, expected);
}

int main(int argc, char** argv) {
    // Lumen reads the process's arguments as the program's options: this process runs again
    // without any, its test flags (--gtest_filter=X) handed on as the variables test flags also
    // read (GTEST_FILTER=X).
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::string flag = argv[i];
            if (flag.rfind("--gtest_", 0) != 0) continue;
            const std::size_t equals = flag.find('=');
            std::string name = "GTEST_" + flag.substr(8, equals == std::string::npos ? std::string::npos : equals - 8);
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            setenv(name.c_str(), equals == std::string::npos ? "1" : flag.c_str() + equals + 1, 1);
        }
        char* const alone[] = {argv[0], nullptr};
        execv("/proc/self/exe", alone);
        return 127;
    }
    // Lumen reads its settings on the first call: set them first, one trace per process.
    const char* dir = std::getenv("TMPDIR");
    const std::string base = std::string(dir ? dir : "/tmp") + "/lumen_module_" + std::to_string(getpid());
    tracePath = base + ".trace";
    scriptPath = base + ".script";
    std::ofstream(scriptPath) << "1 move 300 400\n1 press left\n2 quit\n";
    setenv("LUMEN_TRACE", tracePath.c_str(), 1);
    setenv("LUMEN_SCRIPT", scriptPath.c_str(), 1);
    setenv("LUMEN_MOVIE", "", 1);  // empty: unset
    unsetenv("LUMEN_SEED");
    unsetenv("LUMEN_FPS");
    unsetenv("LUMEN_CAPTURE");
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::remove(tracePath.c_str());
    std::remove(scriptPath.c_str());
    return result;
}
