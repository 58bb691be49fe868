// Faults in every place the program meets Lumen, end to end: the real program and the real
// Lumen, a fault planted with LUMEN_FAULT (or a script's fault, crash or NaN pointer) in each
// operation the program calls, while the error record is made and inside Free. Every run must
// end with at most one diagnostic line, the documented exit status, Free called once, every
// block given back exactly once (the ones live at Free only after it) and Lumen.lmd unloaded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kExe = STACKRISE_EXE;

// One drag raises a tower (frames 2 to 4); a right click tips it over at frame 300.
//   Mouse:1 is frame 1; MouseX:1 the press in frame 2; Rnd:1, RndF:1..4 and DrawRect:1 come
//   in frame 4; MouseY:1 is the right press in frame 300, RndF:5 the first tremble there.
const std::string kDragAndTip =
    "1 move 100 500\n2 press left\n3 move 400 500\n4 release left\n"
    "5 move 250 880\n300 press right\n301 release right\n400 quit\n";

struct Outcome {
    e2e::Run run;
    std::vector<std::string> err;  // lines of standard error
    bool unloaded = false;         // the dynamic loader ran Lumen.lmd's finalisers (dlclose)
};

Outcome runWith(const std::string& script, const std::string& fault) {
    const std::string dir = e2e::tempDir("faults");
    const std::string path = dir + "/input.script";
    e2e::writeFile(path, script);
    std::map<std::string, std::string> env = {{"LUMEN_SCRIPT", path}, {"LD_DEBUG", "files"},
                                              {"LD_DEBUG_OUTPUT", dir + "/ld"}};
    if (!fault.empty()) env["LUMEN_FAULT"] = fault;
    Outcome o;
    o.run = e2e::run(kExe, env);
    std::istringstream err(o.run.err);
    for (std::string line; std::getline(err, line);) o.err.push_back(line);
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("ld.", 0) != 0) continue;
        const std::string log = e2e::readFile(entry.path().string());
        o.unloaded = o.unloaded || std::regex_search(log, std::regex(R"(calling fini: \S*/Data/Lumen\.lmd)"));
    }
    fs::remove_all(dir);
    return o;
}

// The blocks of a run, from its trace: every block (AllocMem's and Lumen's message blocks,
// which take numbers too) is given back exactly once, and the blocks given back after Free are
// exactly the N of "Free live=N" and the messages of faults raised after it (by Free itself). Returns "" when all of that holds, else what is wrong.
std::string ledgerProblem(const std::vector<std::string>& trace) {
    const std::regex alloc(R"(AllocMem \d+ \S+ -> #(\d+))");
    const std::regex freed(R"(FreeMem #(\d+))");
    const std::regex message(R"(raise \d+ ".*)");
    int blocks = 0;
    int freeAt = -1;
    long liveAtFree = -1;
    std::map<long, int> times;
    int freedAfter = 0;
    int madeAfter = 0;
    std::smatch m;
    for (int i = 0; i < static_cast<int>(trace.size()); ++i) {
        const std::string& l = trace[static_cast<size_t>(i)];
        if (std::regex_match(l, m, alloc) || std::regex_match(l, message)) {
            ++blocks;
            if (freeAt >= 0) ++madeAfter;
        }
        if (l == "FreeMem unknown") return "FreeMem of an unknown address at line " + std::to_string(i + 1);
        if (std::regex_match(l, m, freed)) {
            ++times[std::stol(m[1])];
            if (freeAt >= 0) ++freedAfter;
        }
        if (l.rfind("Free live=", 0) == 0) {
            if (freeAt >= 0) return "Free called twice";
            freeAt = i;
            liveAtFree = std::stol(l.substr(10));
        }
    }
    for (long id = 1; id <= blocks; ++id) {
        if (times[id] != 1) return "block #" + std::to_string(id) + " freed " + std::to_string(times[id]) + " times";
    }
    if (static_cast<long>(times.size()) != blocks) return "a block freed that was never given out";
    if (freeAt >= 0 && liveAtFree + madeAfter != freedAfter)
        return "Free live=" + std::to_string(liveAtFree) + " and " + std::to_string(madeAfter) +
               " blocks made after it, but " + std::to_string(freedAfter) + " freed after it";
    return "";
}

const std::regex kDiagnostic(R"(Stackrise: fault 0x[0-9A-F]+ \(\d+\) at 0x[0-9a-f]+ \((stackrise|Lumen\.lmd)\+0x[0-9a-f]+\): .+)");

// A failed run: one diagnostic line for `code` ending in `text`, raised in `module`; status 1.
void expectFailure(const Outcome& o, uint32_t code, const std::string& text, const std::string& module) {
    EXPECT_EQ(o.run.status, 1);
    ASSERT_EQ(o.err.size(), 1u) << o.run.err;
    const std::string& line = o.err[0];
    EXPECT_TRUE(std::regex_match(line, kDiagnostic)) << line;
    char head[64];
    std::snprintf(head, sizeof head, "Stackrise: fault 0x%X (%u) at 0x", code, code);
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    EXPECT_NE(line.find("(" + module + "+0x"), std::string::npos) << line;
    EXPECT_TRUE(line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
        << line << "\n does not end in: " << text;
    EXPECT_EQ(e2e::count(o.run.trace, "Free live="), 1);
    EXPECT_EQ(ledgerProblem(o.run.trace), "");
    EXPECT_TRUE(o.unloaded) << "Lumen.lmd was not released";
}

void expectOrderly(const Outcome& o) {
    EXPECT_EQ(o.run.status, 0);
    EXPECT_EQ(o.run.err, "");
    EXPECT_EQ(e2e::count(o.run.trace, "Free live="), 1);
    EXPECT_EQ(ledgerProblem(o.run.trace), "");
    EXPECT_TRUE(o.unloaded) << "Lumen.lmd was not released";
}

std::string functionAt(const std::string& line) { return e2e::functionAt(kExe, line); }

TEST(Baseline, TheDragAndTipScriptEndsInOrder) {
    const Outcome o = runWith(kDragAndTip, "");
    expectOrderly(o);
    // The planted calls below are where the comments of kDragAndTip say they are.
    EXPECT_EQ(e2e::count(o.run.trace, "Rnd 2 5 -> "), 1);
    EXPECT_GE(e2e::find(o.run.trace, "MouseY -> 880"), e2e::find(o.run.trace, "Act 300"));
    EXPECT_GT(e2e::count(o.run.trace, "RndF -> "), 4) << "the tower trembled";
    EXPECT_EQ(o.run.trace[static_cast<size_t>(e2e::find(o.run.trace, "Free live="))], "Free live=1");
}

// ---- A fault raised by Lumen in each operation the program calls ----------------------------

struct Planted {
    const char* fault;     // LUMEN_FAULT
    const char* lastCall;  // the start of the traced call right before the raise line
};

void PrintTo(const Planted& p, std::ostream* os) { *os << p.fault; }

class FaultInOperation : public testing::TestWithParam<Planted> {};

TEST_P(FaultInOperation, EndsWithOneLineFreeOnceAndEveryBlockBack) {
    const Planted p = GetParam();
    const Outcome o = runWith(kDragAndTip, std::string(p.fault) + ":planted in " + p.lastCall);
    expectFailure(o, 5000, ": planted in " + std::string(p.lastCall), "Lumen.lmd");
    const int raise = e2e::find(o.run.trace, "raise 5000 \"planted");
    ASSERT_GT(raise, 0);
    EXPECT_EQ(o.run.trace[static_cast<size_t>(raise - 1)].rfind(p.lastCall, 0), 0u)
        << o.run.trace[static_cast<size_t>(raise - 1)] << ": the call's line stops before its result";
    EXPECT_EQ(o.run.trace[static_cast<size_t>(raise - 1)].find(" -> "), std::string::npos);
    EXPECT_EQ(e2e::count(o.run.trace, "raise "), 1) << "nothing else was raised";
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FaultInOperation,
    testing::Values(Planted{"AllocMem:1:5000", "AllocMem 16 null"}, Planted{"Init:1:5000", "Init title="},
                    Planted{"Act:3:5000", "Act 3"}, Planted{"Mouse:1:5000", "Mouse 0"},
                    Planted{"MouseX:1:5000", "MouseX"}, Planted{"MouseY:1:5000", "MouseY"},
                    Planted{"Rnd:1:5000", "Rnd 2 5"}, Planted{"RndF:1:5000", "RndF"},
                    Planted{"RndF:5:5000", "RndF"},
                    Planted{"DrawRect:1:5000", "DrawRect 100 "}),
    [](const testing::TestParamInfo<Planted>& info) {
        std::string name = info.param.fault;
        name = name.substr(0, name.find(':')) + "_" + std::to_string(info.index);
        return name;
    });

TEST(PlantedFault, InitLineComesRightBeforeTheRaise) {
    const Outcome o = runWith(kDragAndTip, "Init:1:1005");
    expectFailure(o, 1005, ": no message", "Lumen.lmd");
    const int raise = e2e::find(o.run.trace, "raise 1005 null");
    ASSERT_GT(raise, 0);
    EXPECT_EQ(o.run.trace[static_cast<size_t>(raise - 1)].rfind("Init title=\"Stackrise\"", 0), 0u);
    EXPECT_EQ(e2e::find(o.run.trace, "Act"), -1);
}

// Lumen's own failures that are not faults (out of memory in its own work, an exception of
// another kind) leave its entry points as faults, and end like any other.
TEST(PlantedFault, OtherExceptionsInsideLumenBecomeFaults) {
    const Outcome oom = runWith(kDragAndTip, "Act:3:bad_alloc");
    expectFailure(oom, 1003, ": Lumen: out of memory in Act", "Lumen.lmd");
    EXPECT_NE(e2e::find(oom.run.trace, "raise 1003 \"Lumen: out of memory in Act\""), -1);
    const Outcome other = runWith(kDragAndTip, "Rnd:1:exception:the generator broke");
    expectFailure(other, 1007, ": Lumen: internal error in Rnd: the generator broke", "Lumen.lmd");
    const Outcome early = runWith(kDragAndTip, "Init:1:bad_alloc");
    expectFailure(early, 1003, ": Lumen: out of memory in Init", "Lumen.lmd");
    EXPECT_EQ(e2e::find(early.run.trace, "Act"), -1);
}

// Every allocation of start-up and of the town's set-up can fail: AppConfig, its two titles,
// Init's copy, the Town, its slot array and 30 towers with their colours. Each partial
// construction must be taken apart again with nothing lost and nothing freed twice.
TEST(PlantedFault, EveryStartUpAllocationCanFail) {
    const Outcome clean = runWith("1 quit\n", "");
    const int before = e2e::find(clean.run.trace, "Act 1");
    ASSERT_GT(before, 0);
    int allocations = 0;
    for (int i = 0; i < before; ++i) allocations += clean.run.trace[static_cast<size_t>(i)].rfind("AllocMem", 0) == 0;
    ASSERT_EQ(allocations, 66) << "4 of start-up, 62 of the town";
    for (int n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("AllocMem call " + std::to_string(n));
        const Outcome o = runWith("1 quit\n", "AllocMem:" + std::to_string(n) + ":1003:Lumen: out of memory");
        expectFailure(o, 1003, ": Lumen: out of memory", "Lumen.lmd");
        EXPECT_EQ(e2e::count(o.run.trace, "AllocMem 32 \"skip\" -> "), 1) << "the error record is made";
        if (HasFailure()) break;
    }
}

TEST(PlantedFault, CodeZeroWithoutMessageFromAnyOperationIsTheOrderlyEnd) {
    for (const char* fault : {"Mouse:7:0", "RndF:2:0", "DrawRect:9:0", "Init:1:0"}) {
        SCOPED_TRACE(fault);
        expectOrderly(runWith(kDragAndTip, fault));
    }
    // With a message, code 0 is a failure like any other.
    expectFailure(runWith(kDragAndTip, "MouseX:1:0:not the end"), 0, ": not the end", "Lumen.lmd");
}

TEST(PlantedFault, PlatformCodeFromLumenHasNoMessage) {
    const Outcome o = runWith(kDragAndTip, "Rnd:1:0xC0000094");
    expectFailure(o, 0xC0000094u, ": integer division by zero", "Lumen.lmd");
}

TEST(PlantedFault, BadPlantIsABadSettingRaisedByInit) {
    const Outcome o = runWith(kDragAndTip, "Jump:1:5");
    EXPECT_EQ(o.run.status, 2);
    ASSERT_EQ(o.err.size(), 1u) << o.run.err;  // the program's line: Lumen's message, no code place
    EXPECT_EQ(o.err[0].rfind("Stackrise: bad LUMEN_FAULT \"Jump:1:5\": OP:N:CODE", 0), 0u) << o.err[0];
    EXPECT_EQ(o.err[0].find("0x3EA"), std::string::npos) << o.err[0];
    EXPECT_EQ(e2e::find(o.run.trace, "Act"), -1);
    EXPECT_EQ(ledgerProblem(o.run.trace), "");
}

// ---- Processor faults ----------------------------------------------------------------------

// A NaN pointer position (the script accepts `move nan 0`; the real pointer never is NaN)
// makes the drag's width NaN, and its ordered comparison traps under the program's mode.
TEST(ProcessorFault, NanDragTrapsInTheProgram) {
    const Outcome o = runWith("1 move nan 0\n2 press left\n3 release left\n9 quit\n", "");
    expectFailure(o, 0xC0000090u, ": floating-point invalid operation", "stackrise");
    EXPECT_NE(functionAt(o.err[0]).find("town::runFrame"), std::string::npos) << functionAt(o.err[0]);
    EXPECT_EQ(e2e::find(o.run.trace, "Act 4"), -1) << "the fault ended frame 3";
    EXPECT_EQ(e2e::count(o.run.trace, "Rnd "), 0) << "no tower was raised";
}

TEST(ProcessorFault, RightClickAtNanTrapsInTheHitTest) {
    const Outcome nan = runWith(
        "1 move 100 500\n2 press left\n3 move 400 500\n4 release left\n5 move nan 880\n"
        "300 press right\n301 release right\n400 quit\n", "");
    expectFailure(nan, 0xC0000090u, ": floating-point invalid operation", "stackrise");
    EXPECT_NE(functionAt(nan.err[0]).find("town::Town::collapseAt"), std::string::npos) << functionAt(nan.err[0]);
    EXPECT_NE(e2e::find(nan.run.trace, "MouseY -> 880"), -1);
}

TEST(ProcessorFault, InvalidAccessInsideLumen) {
    const Outcome o = runWith("1 move 100 500\n2 press left\n3 move 400 500\n4 release left\n20 crash\n", "");
    expectFailure(o, 0xC0000005u, ": invalid memory access", "Lumen.lmd");
    const int crash = e2e::find(o.run.trace, "crash");
    ASSERT_GT(crash, 0);
    EXPECT_EQ(o.run.trace[static_cast<size_t>(crash - 1)], "Act 20");
}

// ---- Faults in the top-level handling itself -----------------------------------------------

TEST(HandlingFault, ErrorRecordFailsAfterTheOrderlyEnd) {
    const Outcome o = runWith(kDragAndTip, "AllocMem/skip:1:1003:no record");
    expectFailure(o, 1003, ": no record", "Lumen.lmd");
    EXPECT_EQ(e2e::count(o.run.trace, "raise 0 null"), 1);
    EXPECT_EQ(e2e::count(o.run.trace, "raise 1003 \"no record\""), 1) << "held, raised again only inside the program";
    // The record was never made: at Free only the held fault's message is live.
    EXPECT_NE(e2e::find(o.run.trace, "Free live=1"), -1);
}

TEST(HandlingFault, ErrorRecordFailsAfterAFailure) {
    const Outcome o = runWith("2 fault 5000 first\n", "AllocMem/skip:1:1003:no record");
    // One line, the first fault's: the later one comes from the handling of it.
    expectFailure(o, 5000, ": first", "Lumen.lmd");
    EXPECT_NE(e2e::find(o.run.trace, "Free live=2"), -1) << "both messages are live at Free";
}

TEST(HandlingFault, FaultInsideFreeAfterTheOrderlyEnd) {
    const Outcome o = runWith(kDragAndTip, "Free:1:5000:late");
    expectFailure(o, 5000, ": late", "Lumen.lmd");
    const int free = e2e::find(o.run.trace, "Free live=1");
    ASSERT_NE(free, -1);
    EXPECT_EQ(o.run.trace[static_cast<size_t>(free + 1)], "raise 5000 \"late\"");
}

TEST(HandlingFault, OrderlyCodeOutOfFreeStaysOrderly) { expectOrderly(runWith(kDragAndTip, "Free:1:0")); }

TEST(HandlingFault, FaultInsideFreeAfterAFailureKeepsTheFirstLine) {
    const Outcome o = runWith("2 fault 5000 first\n", "Free:1:5001:late");
    expectFailure(o, 5000, ": first", "Lumen.lmd");
}

// A fault coming out of shutdown is raised once more into the outermost handler when its code,
// read as a signed 32-bit number, lies in 1000 .. 2147483647. That raise and catch stay inside
// the program (no call into Lumen, no output), so the two sides of the boundary look alike from
// outside; what can be seen is that either way the fault is reported once and its message is
// given back once, after Free.
TEST(HandlingFault, ReRaiseBoundaryFromFree) {
    for (const char* code : {"999", "1000", "2147483647", "0x80000000", "0xFFFFFFFF"}) {
        SCOPED_TRACE(code);
        const bool withMessage = std::stoul(code, nullptr, 0) < 0x80000000u;
        const Outcome o = runWith(kDragAndTip, std::string("Free:1:") + code + (withMessage ? ":late" : ""));
        const auto value = static_cast<uint32_t>(std::stoul(code, nullptr, 0));
        expectFailure(o, value, withMessage ? ": late" : ": processor fault", "Lumen.lmd");
    }
}

}  // namespace
