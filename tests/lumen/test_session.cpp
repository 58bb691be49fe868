// A Lumen session driven the way the program drives it: the trace it writes, scripted input,
// the end of a run, faults and their messages, memory accounting, settings and backends.
#include <gtest/gtest.h>

#include <signal.h>
#include <xmmintrin.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "pixels/canvas.h"
#include "run/fpguard.h"
#include "run/input.h"
#include "run/rng.h"
#include "run/command_line.h"
#include "run/session.h"
#include "run/text.h"
#include "helpers.h"

using lumen::Fault;
using lumen::Session;
using lumen::Settings;
using lumen_test::readLines;
using lumen_test::TempFile;

namespace {

// An Init record as the program builds it, with its title String.
class Record {
public:
    explicit Record(std::u16string_view title = u"Stackrise") {
        storage_.assign((lumen::stringBytes(static_cast<int64_t>(title.size())) + 7) / 8, 0);
        auto* s = reinterpret_cast<lumen::String*>(storage_.data());
        s->count = 1;
        s->length = static_cast<int64_t>(title.size());
        std::memcpy(s->units, title.data(), title.size() * 2);
        icon_ = {lumen::kIconMagic, sizeof iconBytes_, iconBytes_};
        record.buildId = 0x5F3A1C2B00000001ull;
        record.one = 1;
        record.instance = this;
        record.icon = &icon_;
        record.faultCell = &cell_;
        record.title = s;
    }
    lumen::InitRecord record{};

private:
    std::vector<int64_t> storage_;
    uint8_t iconBytes_[6] = {0, 0, 1, 0, 0, 0};
    lumen::IconFile icon_{};
    uint64_t cell_ = 0;
};

// The text of a fault's String message.
std::string messageOf(const Fault& f) {
    if (f.argument == 0) return "null";
    const auto* s = reinterpret_cast<const lumen::String*>(f.argument);
    EXPECT_EQ(s->count, 1);
    EXPECT_EQ(s->units[s->length], 0);
    return lumen::utf16ToUtf8(s->units, static_cast<std::size_t>(s->length));
}

// Runs `call` and returns the fault it raises; fails the test when it raises none.
template <class Call>
Fault faultOf(Call call) {
    try {
        call();
    } catch (const Fault& f) {
        return f;
    }
    ADD_FAILURE() << "no fault";
    return Fault{0xFFFFFFFFu, 0, 0};
}

// A headless session with a trace and, if given, a script.
struct Harness {
    explicit Harness(std::optional<std::string> script = std::nullopt, Settings settings = {}) {
        settings.trace = trace.path();
        if (!settings.headless) settings.headless = "1";
        if (script) {
            scriptFile = std::make_unique<TempFile>(*script, ".script");
            settings.script = scriptFile->path();
        }
        session = std::make_unique<Session>(std::move(settings));
    }
    // The trace so far: it goes to its path only at Free.
    std::vector<std::string> lines() const { return readLines(session->traceOutput().writingPath()); }
    // Takes the fault's message back into the heap, as the program does.
    std::string message(const Fault& f) {
        std::string text = messageOf(f);
        if (f.argument) session->freeMem(reinterpret_cast<void*>(f.argument));
        return text;
    }

    TempFile trace{"", ".trace"};
    std::unique_ptr<TempFile> scriptFile;
    std::unique_ptr<Session> session;
};

}  // namespace

TEST(MouseSampler, HeldCountsAndButtons) {
    lumen::MouseSampler m;
    lumen::InputState in;
    EXPECT_EQ(m.button(0), 0);
    in.down[0] = true;
    m.sample(in);
    EXPECT_EQ(m.button(0), 1);
    EXPECT_EQ(m.button(1), 0);
    m.sample(in);
    m.sample(in);
    EXPECT_EQ(m.button(0), 3);
    in.down[0] = false;
    in.down[1] = true;
    in.x = 12.5;
    m.sample(in);
    EXPECT_EQ(m.button(0), 0);
    EXPECT_EQ(m.button(1), 1);
    EXPECT_EQ(m.x(), 12.5);
    // Only 0 and 1 are buttons.
    EXPECT_EQ(m.button(2), 0);
    EXPECT_EQ(m.button(-1), 0);
    EXPECT_EQ(m.button(INT64_MIN), 0);
    // Raw input changes nothing until the next sample.
    in.x = 99.0;
    EXPECT_EQ(m.x(), 12.5);
}

TEST(MouseSampler, CountSaturates) {
    lumen::ButtonCounter b(INT64_MAX - 1);
    b.sample(true);
    EXPECT_EQ(b.value(), INT64_MAX);
    b.sample(true);
    EXPECT_EQ(b.value(), INT64_MAX);
    b.sample(false);
    EXPECT_EQ(b.value(), 0);
    b.sample(true);
    EXPECT_EQ(b.value(), 1);
}

TEST(Session, TraceOfAScriptedRun) {
    Harness run("0 seed 3\n1 move 300 500\n1 press left\n3 release left\n3 move -0 inf\n4 quit\n");
    Session& s = *run.session;
    Record rec;
    void* config = s.allocMem(48, nullptr);  // before Init, as the program does
    s.init(&rec.record);
    s.act();
    EXPECT_EQ(s.mouse(0), 1);
    EXPECT_EQ(s.mouseX(), 300.0);
    EXPECT_EQ(s.mouseY(), 500.0);
    s.act();
    EXPECT_EQ(s.mouse(0), 2);
    EXPECT_EQ(s.mouse(1), 0);
    EXPECT_EQ(s.mouse(7), 0);
    s.act();
    EXPECT_EQ(s.mouse(0), 0);
    EXPECT_TRUE(std::signbit(s.mouseX()));
    EXPECT_EQ(s.mouseY(), INFINITY);
    const int64_t k = s.rnd(2, 5);
    const double f = s.rndF();
    s.drawRect(300, 909, 200, 600, 0.5, 0.25, 0.125, 0.8);
    void* skip = s.allocMem(40, u"skip");
    const Fault end = faultOf([&] { s.act(); });
    EXPECT_EQ(end.code, lumen::kEndOfRun);
    EXPECT_EQ(end.argument, 0u);
    EXPECT_NE(end.address, 0u);
    s.freeMem(skip);
    s.free();
    s.freeMem(config);  // after Free
    s.freeMem(nullptr);

    lumen::Rng ref(3);
    const int64_t k0 = ref.between(2, 5);
    const double f0 = ref.unit();
    EXPECT_EQ(k, k0);
    EXPECT_EQ(f, f0);
    const std::vector<std::string> expected = {
        "AllocMem 48 null -> #1",
        "Init title=\"Stackrise\" build=0x5F3A1C2B00000001 one=1 instance=set icon=set faultcell=set",
        "Act 1",
        "Mouse 0 -> 1",
        "MouseX -> 300",
        "MouseY -> 500",
        "Act 2",
        "Mouse 0 -> 2",
        "Mouse 1 -> 0",
        "Mouse 7 -> 0",
        "Act 3",
        "Mouse 0 -> 0",
        "MouseX -> -0",
        "MouseY -> inf",
        "Rnd 2 5 -> " + std::to_string(k0),
        "RndF -> " + lumen::formatFloat(f0),
        "DrawRect 300 909 200 600 0.5 0.25 0.125 0.8",
        "AllocMem 40 \"skip\" -> #2",
        "Act 4",
        "raise 0 null",
        "FreeMem #2",
        "Free live=1",
        "FreeMem #1",
        "FreeMem null",
    };
    EXPECT_EQ(run.lines(), expected);
    EXPECT_EQ(s.liveBlocks(), 0u);
}

TEST(Session, InitLineWithNullFieldsAndOddTitle) {
    Harness run("1 quit\n");
    Record rec(u"say \"hi\" \\ \u00fc");
    rec.record.icon = nullptr;
    rec.record.instance = nullptr;
    rec.record.faultCell = nullptr;
    rec.record.one = 7;
    rec.record.buildId = 0xAB;
    run.session->init(&rec.record);
    EXPECT_EQ(run.lines().at(0),
              "Init title=\"say \\\"hi\\\" \\\\ \xC3\xBC\" build=0x00000000000000AB one=7 "
              "instance=null icon=null faultcell=null");
    Harness untitled("1 quit\n");
    Record rec2;
    rec2.record.title = nullptr;
    untitled.session->init(&rec2.record);
    EXPECT_EQ(untitled.lines().at(0).substr(0, 16), "Init title=null ");
}

TEST(Session, MouseFollowsTheScriptFrameByFrame) {
    Harness run("2 move 10 20\n2 press right\n4 move 30 40\n5 release right\n5 press left\n6 quit\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    struct Frame { int64_t left, right; double x, y; };
    const Frame frames[] = {{0, 0, 0, 0}, {0, 1, 10, 20}, {0, 2, 10, 20}, {0, 3, 30, 40}, {1, 0, 30, 40}};
    for (const Frame& f : frames) {
        s.act();
        EXPECT_EQ(s.mouse(0), f.left) << "frame " << s.frame();
        EXPECT_EQ(s.mouse(1), f.right) << "frame " << s.frame();
        EXPECT_EQ(s.mouseX(), f.x);
        EXPECT_EQ(s.mouseY(), f.y);
        // Several reads in one frame agree.
        EXPECT_EQ(s.mouse(0), f.left);
    }
    EXPECT_EQ(faultOf([&] { s.act(); }).code, lumen::kEndOfRun);
}

TEST(Session, WithoutQuitTheRunEndsOneFrameAfterTheLastLineAndStaysEnded) {
    Harness run("3 move 1 1\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    for (int i = 0; i < 3; ++i) s.act();
    for (int i = 0; i < 2; ++i) {
        const Fault f = faultOf([&] { s.act(); });
        EXPECT_EQ(f.code, lumen::kEndOfRun);
        EXPECT_EQ(f.argument, 0u);
    }
    const auto lines = run.lines();
    EXPECT_EQ(lines[lines.size() - 4], "Act 4");
    EXPECT_EQ(lines[lines.size() - 3], "raise 0 null");
    EXPECT_EQ(lines[lines.size() - 2], "Act 5");
}

TEST(Session, ScriptFaultsCarryTheirMessage) {
    Harness run("2 fault 5000 the \"town\" fell\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    s.act();
    const Fault f = faultOf([&] { s.act(); });
    EXPECT_EQ(f.code, 5000u);
    EXPECT_NE(f.address, 0u);
    const uint64_t live = s.liveBlocks();
    EXPECT_EQ(run.message(f), "the \"town\" fell");
    EXPECT_EQ(s.liveBlocks(), live - 1);
    const auto lines = run.lines();
    EXPECT_EQ(lines.at(2), "Act 2");
    EXPECT_EQ(lines.at(3), "raise 5000 \"the \\\"town\\\" fell\"");
    // The message block has a number but no AllocMem line: its FreeMem names it #1.
    EXPECT_EQ(lines.at(4), "FreeMem #1");

    Harness processor("1 fault 0xC0000090\n");
    Record rec2;
    processor.session->init(&rec2.record);
    const Fault p = faultOf([&] { processor.session->act(); });
    EXPECT_EQ(p.code, 0xC0000090u);
    EXPECT_EQ(p.argument, 0u);
    EXPECT_EQ(processor.lines().back(), "raise 3221225616 null");
}

namespace {
void throwAccessViolation(int, siginfo_t*, void*) {
    throw Fault{lumen::kAccessViolation, 0, 0};
}
}  // namespace

TEST(Session, CrashIsARealInvalidAccessAndTheGuardStillRestoresTheMode) {
    // As the program does: a SIGSEGV handler that throws the fault from the faulting place.
    struct sigaction action{}, old{};
    action.sa_sigaction = throwAccessViolation;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &action, &old), 0);

    Harness run("2 crash\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    s.act();
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(0x7F80);
    uint32_t code = 0;
    try {
        lumen::FpGuard guard;
        s.act();
    } catch (const Fault& f) {
        code = f.code;
    }
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    sigaction(SIGSEGV, &old, nullptr);
    EXPECT_EQ(code, lumen::kAccessViolation);
    EXPECT_EQ(after, 0x7F80u);
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Act 2");
    EXPECT_EQ(lines.back(), "crash");
}

TEST(Session, LumenFaultsHaveMessagesFromItsHeap) {
    Harness run("9 quit\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    Fault f = faultOf([&] { s.rnd(5, 2); });
    EXPECT_EQ(f.code, lumen::kBadArgument);
    EXPECT_NE(f.address, 0u);
    EXPECT_EQ(s.liveBlocks(), 1u);  // the message
    EXPECT_EQ(run.message(f), "Lumen: Rnd 5 2: the lower bound is above the upper bound");
    EXPECT_EQ(s.liveBlocks(), 0u);

    f = faultOf([&] { s.allocMem(-1, nullptr); });
    EXPECT_EQ(f.code, lumen::kBadArgument);
    EXPECT_EQ(run.message(f), "Lumen: AllocMem of a negative size (-1 bytes)");
    f = faultOf([&] { s.allocMem(INT64_MAX, u"big"); });
    EXPECT_EQ(f.code, lumen::kOutOfMemory);
    EXPECT_EQ(run.message(f), "Lumen: out of memory (AllocMem of 9223372036854775807 bytes)");

    void* block = s.allocMem(16, nullptr);
    s.freeMem(block);
    f = faultOf([&] { s.freeMem(block); });
    EXPECT_EQ(f.code, lumen::kBadFree);
    const uint64_t id = 4;  // three messages came before it
    EXPECT_EQ(run.message(f), "Lumen: FreeMem of block #4, which is already freed");
    int local = 0;
    f = faultOf([&] { s.freeMem(&local); });
    EXPECT_EQ(f.code, lumen::kBadFree);
    EXPECT_EQ(run.message(f), "Lumen: FreeMem of an address that AllocMem did not give");
    EXPECT_EQ(s.liveBlocks(), 0u);

    const auto lines = run.lines();
    const std::vector<std::string> tail(lines.begin() + 1, lines.end());
    const std::vector<std::string> expected = {
        "Rnd 5 2",
        "raise 1005 \"Lumen: Rnd 5 2: the lower bound is above the upper bound\"",
        "FreeMem #1",
        "AllocMem -1 null",
        "raise 1005 \"Lumen: AllocMem of a negative size (-1 bytes)\"",
        "FreeMem #2",
        "AllocMem 9223372036854775807 \"big\"",
        "raise 1003 \"Lumen: out of memory (AllocMem of 9223372036854775807 bytes)\"",
        "FreeMem #3",
        "AllocMem 16 null -> #" + std::to_string(id),
        "FreeMem #4",
        "FreeMem #4",
        "raise 1004 \"Lumen: FreeMem of block #4, which is already freed\"",
        "FreeMem #5",
        "FreeMem unknown",
        "raise 1004 \"Lumen: FreeMem of an address that AllocMem did not give\"",
        "FreeMem #6",
    };
    EXPECT_EQ(tail, expected);
}

TEST(Session, MemoryIsZeroedAlignedAndCounted) {
    Harness run;
    Session& s = *run.session;
    std::vector<void*> blocks;
    for (int64_t n : {0, 1, 24, 48, 1000}) {
        auto* p = static_cast<unsigned char*>(s.allocMem(n, nullptr));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (int64_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0);
        blocks.push_back(p);
    }
    EXPECT_EQ(s.liveBlocks(), 5u);
    s.freeMem(blocks[1]);
    s.freeMem(blocks[3]);
    s.free();  // without Init, as after a failed start
    EXPECT_EQ(run.lines().back(), "Free live=3");
    s.freeMem(blocks[0]);
    s.freeMem(blocks[2]);
    s.freeMem(blocks[4]);
    EXPECT_EQ(s.liveBlocks(), 0u);
}

TEST(Session, CallsOutOfOrderAreClearFaults) {
    Harness run("5 quit\n");
    Session& s = *run.session;
    Record rec;
    Fault f = faultOf([&] { s.act(); });
    EXPECT_EQ(f.code, lumen::kBadArgument);
    EXPECT_EQ(run.message(f), "Lumen: Act before Init");
    EXPECT_EQ(run.message(faultOf([&] { s.mouse(0); })), "Lumen: Mouse before Init");
    EXPECT_EQ(run.message(faultOf([&] { s.rndF(); })), "Lumen: RndF before Init");
    EXPECT_EQ(run.message(faultOf([&] { s.drawRect(0, 0, 1, 1, 1, 1, 1, 1); })),
              "Lumen: DrawRect before Init");
    s.init(&rec.record);
    s.act();
    EXPECT_EQ(s.frame(), 1);  // the Act before Init did not count
    f = faultOf([&] { s.init(&rec.record); });
    EXPECT_EQ(run.message(f), "Lumen: Init called twice");
    f = faultOf([&] { s.init(nullptr); });
    EXPECT_EQ(run.message(f), "Lumen: Init got a null record");
    s.free();
    EXPECT_EQ(run.message(faultOf([&] { s.act(); })), "Lumen: Act after Free");
    EXPECT_EQ(run.message(faultOf([&] { s.mouseX(); })), "Lumen: MouseX after Free");
    s.free();  // a second Free is traced and does nothing
    const auto lines = run.lines();
    EXPECT_EQ(lines.back(), "Free live=0");
    EXPECT_EQ(lines.front(), "Act 1");
}

TEST(Session, UnsupportedNamesRaise1001) {
    Harness run;
    const Fault f = faultOf([&] { run.session->unsupported("PlayBGM"); });
    EXPECT_EQ(f.code, lumen::kUnsupported);
    EXPECT_EQ(run.message(f), "Lumen: PlayBGM is not supported");
    const std::vector<std::string> expected = {
        "PlayBGM", "raise 1001 \"Lumen: PlayBGM is not supported\"", "FreeMem #1"};
    EXPECT_EQ(run.lines(), expected);
}

TEST(Session, BadSettingsAreRaisedByInit) {
    struct Case {
        const char* what;
        std::optional<std::string> script;  // script text
        Settings settings;
        std::string message;  // "" : the script's FILE:LINE message
    };
    // Settings with one variable given.
    const auto with = [](std::optional<std::string> Settings::*variable, const char* text) {
        Settings settings;
        settings.*variable = text;
        return settings;
    };
    const Settings badSeed = with(&Settings::seed, "12x");
    const Settings badFps = with(&Settings::fps, "0");
    const Settings noScript = with(&Settings::script, "/nonexistent/dir/x.script");
    const Settings slowFps = with(&Settings::fps, "1e-7");  // one frame in 116 days: beyond what the pacer holds
    const Settings folderScript = with(&Settings::script, "/tmp");
    const Settings endlessScript = with(&Settings::script, "/dev/zero");
    const Settings noMovie = with(&Settings::movie, "/nonexistent/dir/x.gif");
    const Settings noPicture = with(&Settings::capture, "/nonexistent/dir/x.png");
    const Settings pictureIsFolder = with(&Settings::capture, "/tmp");
    const std::string fpsRange = ": frames per second, from 0.000001 to 1000000";
    const Case cases[] = {
        {"script", std::string("1 move 1 1\n2 jump\n"), {}, ""},
        {"seed", std::nullopt, badSeed,
         "Lumen: bad LUMEN_SEED \"12x\": a decimal or 0x hex number below 2^64"},
        {"fps", std::nullopt, badFps, "Lumen: bad LUMEN_FPS \"0\"" + fpsRange},
        {"slow fps", std::nullopt, slowFps, "Lumen: bad LUMEN_FPS \"1e-7\"" + fpsRange},
        {"missing", std::nullopt, noScript,
         "Lumen: cannot read script /nonexistent/dir/x.script: No such file or directory"},
        {"folder", std::nullopt, folderScript, "Lumen: cannot read script /tmp: it is a folder"},
        {"endless", std::nullopt, endlessScript,
         "Lumen: cannot read script /dev/zero: larger than 64 MiB, the most a script may hold"},
        {"movie", std::string("1 quit\n"), noMovie,
         "Lumen: cannot write movie /nonexistent/dir/x.gif: cannot create a file in folder /nonexistent/dir: No such "
         "file or directory"},
        {"picture", std::string("1 quit\n"), noPicture,
         "Lumen: cannot write picture /nonexistent/dir/x.png: cannot create a file in folder /nonexistent/dir: No "
         "such file or directory"},
        {"picture folder", std::string("1 quit\n"), pictureIsFolder,
         "Lumen: cannot write picture /tmp: it is a folder"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        Harness run(c.script, c.settings);
        Record rec;
        // Memory works before the failed Init and after it.
        void* early = run.session->allocMem(8, nullptr);
        const Fault f = faultOf([&] { run.session->init(&rec.record); });
        const std::string err = testing::internal::GetCapturedStderr();
        std::string expected =
            c.message.empty() ? "Lumen: " + run.scriptFile->path() + ":2: unknown command \"jump\""
                              : c.message;
        EXPECT_EQ(f.code, lumen::kBadSetting) << c.what;
        EXPECT_EQ(run.message(f), expected) << c.what;
        EXPECT_EQ(err, "") << c.what;  // the program's one line carries the message
        EXPECT_EQ(run.message(faultOf([&] { run.session->act(); })), "Lumen: Act after a failed Init");
        run.session->freeMem(early);
        EXPECT_EQ(run.session->liveBlocks(), 0u);
    }
}

// An output naming another output's file stops everything else: nothing is opened or parsed
// (the bad seed is not raised, the fault planted in Free is not planted) and the file is kept.
TEST(Session, OneFileNamedTwiceStopsEverythingElse) {
    TempFile kept("kept", ".trace");
    Settings settings;
    settings.trace = kept.path();
    settings.capture = kept.path();
    settings.seed = "bad";
    settings.fault = "Free:1:5";
    Session s(settings);
    Record rec;
    const Fault f = faultOf([&] { s.init(&rec.record); });
    EXPECT_EQ(f.code, lumen::kBadSetting);
    EXPECT_EQ(messageOf(f), "Lumen: LUMEN_CAPTURE and LUMEN_TRACE name the same file " + kept.path());
    s.freeMem(reinterpret_cast<void*>(f.argument));
    s.free();
    EXPECT_EQ(lumen_test::readAll(kept.path()), "kept");
}

TEST(Session, AnUnwritableTraceIsRaisedByInit) {
    Settings settings;
    settings.trace = "/nonexistent/dir/t.trace";
    settings.headless = "1";
    testing::internal::CaptureStderr();
    Session s(settings);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    void* block = s.allocMem(8, nullptr);  // memory still works
    Record rec;
    const Fault f = faultOf([&] { s.init(&rec.record); });
    EXPECT_EQ(f.code, lumen::kBadSetting);
    EXPECT_EQ(messageOf(f), "Lumen: cannot write trace /nonexistent/dir/t.trace: cannot create a file in folder "
                            "/nonexistent/dir: No such file or directory");
    s.freeMem(reinterpret_cast<void*>(f.argument));
    s.freeMem(block);
}

TEST(Session, InitChecksTheIconAndRefusesAfterFree) {
    Harness run("1 quit\n");
    Record rec;
    lumen::IconFile wrong{0x1234, 6, nullptr};
    rec.record.icon = &wrong;
    Fault f = faultOf([&] { run.session->init(&rec.record); });
    EXPECT_EQ(f.code, lumen::kBadArgument);
    EXPECT_EQ(run.message(f), "Lumen: Init: the icon is not a lumen::IconFile");

    Harness later("1 quit\n");
    Record good;
    later.session->free();
    f = faultOf([&] { later.session->init(&good.record); });
    EXPECT_EQ(later.message(f), "Lumen: Init after Free");
}

TEST(Session, MovieHoldsEveryFourthFrameAndIsFinishedAtTheEnd) {
    TempFile gif("", ".gif");
    Settings settings;
    settings.movie = gif.path();
    Harness run("9 quit\n", settings);
    Record rec;
    run.session->init(&rec.record);
    for (int i = 0; i < 8; ++i) run.session->act();
    faultOf([&] { run.session->act(); });  // Act 9 ends the run and finishes the file
    const std::string bytes = lumen_test::readAll(gif.path());
    ASSERT_GT(bytes.size(), 6u);
    EXPECT_EQ(bytes.substr(0, 6), "GIF89a");
    EXPECT_EQ(bytes.back(), ';');  // the trailer: the file was closed
}

TEST(Session, SeedPrecedence) {
    const auto seedOf = [](std::optional<std::string> script, std::optional<std::string> env) {
        Settings settings;
        settings.seed = env;
        Harness run(script, settings);
        Record rec;
        run.session->init(&rec.record);
        return run.session->seed();
    };
    EXPECT_EQ(seedOf("0 seed 77\n", "0x10"), 16u);
    EXPECT_EQ(seedOf("0 seed 77\n", std::nullopt), 77u);
    EXPECT_EQ(seedOf("5 quit\n", std::nullopt), 1u);  // headless default
    EXPECT_EQ(seedOf(std::nullopt, "123"), 123u);
}

TEST(Session, HeadlessWithoutScriptPlaysTheDemo) {
    Settings settings;
    settings.headless = "0";  // not forcing headless: no window backend, so the note appears
    testing::internal::CaptureStderr();
    Harness run(std::nullopt, settings);
    Record rec;
    run.session->init(&rec.record);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Lumen: no display; running headless, playing the built-in demo\n");
    EXPECT_TRUE(run.session->headless());
    EXPECT_EQ(run.session->seed(), 1u);
    // The demo's first drag: the left button goes down in frame 10 at x = 30.
    for (int i = 0; i < 10; ++i) run.session->act();
    EXPECT_EQ(run.session->mouse(0), 1);
    EXPECT_EQ(run.session->mouseX(), 30.0);

    Settings forced;  // LUMEN_HEADLESS=1 plays the demo without the note
    testing::internal::CaptureStderr();
    Harness quiet(std::nullopt, forced);
    quiet.session->init(&rec.record);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

namespace {
// A window backend that records what Lumen does with it.
struct FakeWindow {
    static inline bool canOpen = true;
    static inline int opened = 0, presented = 0, polls = 0, closed = 0;
    static inline int quitAtPoll = 3;
    static inline std::string title;
    static inline uint32_t firstPixel = 0;
    static bool open(const char* t, lumen::WindowIcon icon) {
        title = t;
        ++opened;
        return canOpen && icon.file != nullptr;
    }
    // The window's own copy of the frame, updated inside the changed box only, as a backend's
    // texture is; it must always equal the whole frame.
    static inline std::vector<uint32_t> shown;
    static inline lumen::CanvasRegion lastChanged;
    static inline bool shownMatches = true;
    static void present(const uint32_t* pixels, int w, int h, const lumen::CanvasRegion& changed) {
        EXPECT_EQ(w, lumen::Canvas::kWidth);
        EXPECT_EQ(h, lumen::Canvas::kHeight);
        firstPixel = pixels[0];
        ++presented;
        lastChanged = changed;
        shown.resize(static_cast<std::size_t>(w) * h);
        for (int i = 0; i < changed.count; ++i) {
            const lumen::CanvasRect& c = changed.boxes[i];
            for (int y = c.y0; y < c.y1; ++y)
                std::memcpy(&shown[static_cast<std::size_t>(y) * w + c.x0], pixels + static_cast<std::size_t>(y) * w + c.x0,
                            sizeof(uint32_t) * static_cast<std::size_t>(c.x1 - c.x0));
        }
        shownMatches = shownMatches && std::memcmp(shown.data(), pixels, shown.size() * sizeof(uint32_t)) == 0;
    }
    static bool poll(lumen::InputState& in) {
        ++polls;
        if (script) {
            const auto& f = (*script)[static_cast<std::size_t>(polls - 1)];
            in.x = f[0], in.y = f[1], in.down[0] = f[2] != 0, in.down[1] = f[3] != 0;
            return polls == static_cast<int>(script->size());
        }
        in.x = 100.0 * polls;
        in.down[1] = polls == 2;
        return polls == quitAtPoll;
    }
    static void close() { ++closed; }
    static void reset() {
        canOpen = true;
        opened = presented = polls = closed = 0;
        quitAtPoll = 3;
        script = nullptr;
        shown.clear();
        lastChanged = {};
        shownMatches = true;
    }
    // When set: poll takes the input of frame polls + 1 from here (x, y, left, right).
    static inline const std::vector<std::array<double, 4>>* script = nullptr;
    static const lumen::Backend& backend() {
        static const lumen::Backend b{"fake", open, present, poll, close, nullptr, nullptr};
        return b;
    }
};
}  // namespace

TEST(Session, WindowBackendGivesInputFramesAndTheEnd) {
    FakeWindow::reset();
    TempFile trace("", ".trace");
    Settings settings;
    settings.trace = trace.path();
    testing::internal::CaptureStderr();
    Session s(settings, &FakeWindow::backend());
    Record rec;
    s.init(&rec.record);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(s.headless());
    EXPECT_EQ(FakeWindow::title, "Stackrise");
    // Not headless and no seed given: how to play, then the clock's seed, with what replays a
    // run.
    EXPECT_EQ(err, lumen::playLine("Stackrise") + "\nLumen: seed " + std::to_string(s.seed()) +
                       "; to play a run again, record it with --record FILE, then play it with "
                       "--replay FILE\n");
    s.act();
    EXPECT_EQ(s.mouseX(), 100.0);
    s.drawRect(0, 0, 1, 1, 1, 1, 1, 1);  // white top-left pixel, shown by the next Act
    s.act();
    EXPECT_EQ(FakeWindow::firstPixel, 0xFFFFFFFFu);
    EXPECT_EQ(s.mouse(1), 1);
    EXPECT_EQ(s.mouseX(), 200.0);
    const Fault f = faultOf([&] { s.act(); });  // the window was closed
    EXPECT_EQ(f.code, lumen::kEndOfRun);
    EXPECT_EQ(f.argument, 0u);
    EXPECT_EQ(FakeWindow::presented, 3);
    EXPECT_EQ(FakeWindow::firstPixel, lumen::Canvas::kBackground);  // cleared after each present
    s.free();
    EXPECT_EQ(FakeWindow::closed, 1);
    EXPECT_EQ(readLines(trace.path()).back(), "Free live=0");

    // A window that cannot open: headless with the note, the demo plays.
    FakeWindow::canOpen = false;
    Settings plain;
    testing::internal::CaptureStderr();
    Session fallback(plain, &FakeWindow::backend());
    fallback.init(&rec.record);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Lumen: no display; running headless, playing the built-in demo\n");
    EXPECT_TRUE(fallback.headless());
    // A script always runs headless: the window is not even tried.
    const int opens = FakeWindow::opened;
    Harness scripted("1 quit\n");
    Settings scriptOnly;
    scriptOnly.script = scripted.scriptFile->path();
    Session withWindow(scriptOnly, &FakeWindow::backend());
    withWindow.init(&rec.record);
    EXPECT_TRUE(withWindow.headless());
    EXPECT_EQ(FakeWindow::opened, opens);
}

// A window whose display went away: its poll ends the run and lost() says why; the Act raises
// kDisplayLost with that message after the outputs (here the picture) are written, and Free
// then closes the window once.
TEST(Session, ADisplayThatWentAwayEndsTheRunWithItsOwnFault) {
    FakeWindow::reset();
    static const lumen::Backend gone{"fake-lost", FakeWindow::open, FakeWindow::present, FakeWindow::poll,
                                     FakeWindow::close, nullptr,
                                     [] { return "Lumen: lost the display :9: the X server went away"; }};
    TempFile trace("", ".trace");
    TempFile picture("", ".png");
    Settings settings;
    settings.trace = trace.path();
    settings.capture = picture.path();
    testing::internal::CaptureStderr();
    Session s(settings, &gone);
    Record rec;
    s.init(&rec.record);
    testing::internal::GetCapturedStderr();
    s.act();
    s.act();
    const Fault f = faultOf([&] { s.act(); });
    EXPECT_EQ(f.code, lumen::kDisplayLost);
    EXPECT_EQ(messageOf(f), "Lumen: lost the display :9: the X server went away");
    EXPECT_EQ(lumen_test::readAll(picture.path()).compare(1, 3, "PNG"), 0);
    s.free();
    EXPECT_EQ(FakeWindow::closed, 1);
    const std::vector<std::string> lines = readLines(trace.path());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "raise 1008 \"Lumen: lost the display :9: the X server went away\""),
              lines.end());
}

// A display that sets the beat (the page's animation frames): 144 display frames a second on a
// fake clock, each call the next one; the calls are logged between presents and polls.
namespace {
struct FakeDisplay {
    static inline double now = 0.0;  // ms
    static inline int calls = 0;
    static inline std::string log;   // p: present, d: display frame, q: poll
    static double frame() {
        ++calls;
        log += 'd';
        now += 1000.0 / 144.0;
        return now;
    }
    static const lumen::Backend& backend() {
        static const lumen::Backend b{
            "fake-display",
            FakeWindow::open,
            [](const uint32_t* pixels, int w, int h, const lumen::CanvasRegion& changed) {
                log += 'p';
                FakeWindow::present(pixels, w, h, changed);
            },
            [](lumen::InputState& in) {
                log += 'q';
                return FakeWindow::poll(in);
            },
            FakeWindow::close,
            frame,
            nullptr};
        return b;
    }
};
}  // namespace

TEST(Session, ADisplaySetsTheBeatAtSixtyFramesASecond) {
    FakeWindow::reset();
    FakeWindow::quitAtPoll = 1000;
    FakeDisplay::now = 0.0;
    FakeDisplay::calls = 0;
    FakeDisplay::log.clear();
    Settings settings;
    settings.seed = "1";
    settings.fps = "1000";  // a window is paced at 60 whatever LUMEN_FPS says
    Session s(settings, &FakeDisplay::backend());
    Record rec;
    s.init(&rec.record);
    EXPECT_FALSE(s.headless());
    for (int i = 0; i < 120; ++i) s.act();
    // 120 frames at 60 a second: two seconds of a 144 Hz display, 288 display frames.
    EXPECT_NEAR(FakeDisplay::calls, 288, 3);
    // Each Act presents, then waits for its display frame (one or more), then polls.
    EXPECT_EQ(FakeWindow::presented, 120);
    EXPECT_EQ(FakeWindow::polls, 120);
    const std::string& log = FakeDisplay::log;
    EXPECT_EQ(log.substr(0, 3), "pdq");
    EXPECT_EQ(log.find("pq"), std::string::npos) << "a poll without a display frame before it";
    EXPECT_EQ(log.find("qd"), std::string::npos) << "a display frame waited for after the poll";
    s.free();
}

TEST(Session, TheWindowGetsOnlyWhatChanged) {
    FakeWindow::reset();
    FakeWindow::quitAtPoll = 100;
    Settings settings;
    settings.seed = "1";
    Session s(settings, &FakeWindow::backend());
    Record rec;
    s.init(&rec.record);
    using lumen::CanvasRect;
    s.act();  // the first frame: the whole canvas
    EXPECT_EQ(FakeWindow::lastChanged.count, 1);
    EXPECT_EQ(FakeWindow::lastChanged.bounds(), (CanvasRect{0, 0, lumen::Canvas::kWidth, lumen::Canvas::kHeight}));
    s.act();  // empty again: nothing changed
    EXPECT_TRUE(FakeWindow::lastChanged.empty());
    s.drawRect(10, 20, 30, 40, 1, 0, 0, 0.5);
    s.drawRect(500, 300, 10, 10, 0, 1, 0, 1);
    s.act();
    EXPECT_EQ(FakeWindow::lastChanged.count, 2);  // the two fills' places
    EXPECT_EQ(FakeWindow::lastChanged.bounds(), (CanvasRect{10, 20, 510, 310}));
    s.drawRect(10, 20, 30, 40, 1, 0, 0, 0.5);
    s.drawRect(500, 300, 10, 10, 0, 1, 0, 1);
    s.act();  // the same fills in the same order
    EXPECT_TRUE(FakeWindow::lastChanged.empty());
    s.drawRect(10, 20, 30, 40, 1, 0, 0, 0.5);
    s.drawRect(502, 300, 10, 10, 0, 1, 0, 1);
    s.act();  // the second moved 2 px: what only its old or only its new place covers
    EXPECT_EQ(FakeWindow::lastChanged.bounds(), (CanvasRect{500, 300, 512, 310}));
    EXPECT_TRUE(FakeWindow::lastChanged.contains(501, 305));
    EXPECT_TRUE(FakeWindow::lastChanged.contains(511, 305));
    EXPECT_FALSE(FakeWindow::lastChanged.contains(505, 305));
    s.drawRect(502, 300, 10, 10, 0, 1, 0, 1);
    s.drawRect(10, 20, 30, 40, 1, 0, 0, 0.5);
    s.act();  // the same fills in another order: both places
    EXPECT_EQ(FakeWindow::lastChanged.bounds(), (CanvasRect{10, 20, 512, 310}));
    EXPECT_FALSE(FakeWindow::lastChanged.contains(300, 200));
    s.act();
    EXPECT_EQ(FakeWindow::lastChanged.bounds(), (CanvasRect{10, 20, 512, 310}));
    EXPECT_EQ(FakeWindow::presented, 7);
    EXPECT_TRUE(FakeWindow::shownMatches);
    s.free();
}

TEST(Session, RecordedWindowInputReplaysHeadlessToTheSameFrames) {
    FakeWindow::reset();
    // Pointer and buttons per frame; the last poll closes the window.
    const std::vector<std::array<double, 4>> frames = {
        {10, 20, 0, 0}, {10, 20, 1, 0}, {15.25, 20, 1, 0}, {-0.0, 1e300, 0, 1},
        {-0.0, 1e300, 0, 1}, {7, 8, 1, 0}, {7, 8, 0, 0}, {7, 8, 0, 0}};
    FakeWindow::script = &frames;
    TempFile record("", ".script");
    Settings windowed;
    windowed.record = record.path();
    windowed.seed = "4242";
    struct Seen {
        int64_t left, right;
        double x, y, r;
        bool operator==(const Seen& o) const {
            return left == o.left && right == o.right && std::memcmp(&x, &o.x, 8) == 0 &&
                   std::memcmp(&y, &o.y, 8) == 0 && r == o.r;
        }
    };
    const auto play = [](Session& s) {
        std::vector<Seen> seen;
        for (;;) {
            try {
                s.act();
            } catch (const Fault& f) {
                EXPECT_EQ(f.code, lumen::kEndOfRun);
                return seen;
            }
            seen.push_back({s.mouse(0), s.mouse(1), s.mouseX(), s.mouseY(), s.rndF()});
        }
    };
    Record rec;
    std::vector<Seen> live;
    {
        Session s(windowed, &FakeWindow::backend());
        s.init(&rec.record);
        live = play(s);
        s.free();
    }
    ASSERT_EQ(live.size(), frames.size() - 1);
    const std::string text = lumen_test::readAll(record.path());
    EXPECT_EQ(text.rfind("0 seed 4242\n1 move 10 20\n2 press left\n3 move 15.25 20\n", 0), 0u) << text;
    EXPECT_NE(text.find("4 move -0 1e+300\n4 release left\n4 press right\n"), std::string::npos) << text;
    EXPECT_NE(text.find("8 quit\n"), std::string::npos) << text;

    Settings replay;
    replay.script = record.path();
    Session again(replay);
    again.init(&rec.record);
    EXPECT_EQ(again.seed(), 4242u);
    const std::vector<Seen> replayed = play(again);
    EXPECT_TRUE(replayed == live);
}

TEST(Session, DrawRectFillsTheCanvasUntilTheNextAct) {
    Harness run("9 quit\n");
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    s.act();
    s.drawRect(10, 10, 5, 5, 1, 0, 0, 1);
    EXPECT_EQ(s.canvas()->pixel(12, 12), 0xFFFF0000u);
    EXPECT_EQ(s.canvas()->pixel(9, 12), lumen::Canvas::kBackground);
    s.drawRect(NAN, INFINITY, -1e308, 1e308, NAN, 2, -3, 0.5);  // safe, whatever it draws
    s.act();
    EXPECT_EQ(s.canvas()->pixel(12, 12), lumen::Canvas::kBackground);
    EXPECT_EQ(run.lines().back(), "Act 2");
    EXPECT_EQ(run.lines()[run.lines().size() - 2], "DrawRect nan inf -1e+308 1e+308 nan 2 -3 0.5");
}

TEST(Session, CaptureWritesTheLastPresentedFrame) {
    TempFile png("", ".png");
    Settings settings;
    settings.capture = png.path();
    Harness run("3 quit\n", settings);
    Session& s = *run.session;
    Record rec;
    s.init(&rec.record);
    s.act();
    s.act();
    s.drawRect(0, 0, 1600, 900, 0, 1, 0, 1);  // presented by Act 3, the last one
    faultOf([&] { s.act(); });
    const std::string bytes = lumen_test::readAll(png.path());
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
}

TEST(Session, FpsPacesTheFrames) {
    // A lower bound only: 11 Acts at 200 frames per second take at least 10 intervals.
    Settings settings;
    settings.fps = "200";
    Harness run("20 quit\n", settings);
    Record rec;
    run.session->init(&rec.record);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 11; ++i) run.session->act();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

// LUMEN_TRACE_TIME=1: every Act line carries the monotonic time, never going back, and the rest
// of the line is as without it; "no" leaves the trace as it is.
TEST(Session, TraceTimeStampsEveryActLine) {
    for (const char* value : {"1", "no"}) {
        Settings settings;
        settings.traceTime = value;
        Harness run("4 quit\n", settings);
        Record rec;
        run.session->init(&rec.record);
        for (int i = 0; i < 3; ++i) run.session->act();
        faultOf([&] { run.session->act(); });
        double last = 0.0;
        int acts = 0;
        for (const std::string& line : run.lines()) {
            if (line.rfind("Act ", 0) != 0) continue;
            ++acts;
            const std::string frame = "Act " + std::to_string(acts);
            if (std::string(value) != "1") {
                EXPECT_EQ(line, frame);
                continue;
            }
            ASSERT_EQ(line.rfind(frame + " t=", 0), 0u) << line;
            const std::string time = line.substr(frame.size() + 3);
            ASSERT_EQ(time.size() - time.find('.'), 10u) << line;  // nine decimals
            const double t = std::stod(time);
            EXPECT_GE(t, last) << line;
            last = t;
        }
        EXPECT_EQ(acts, 4) << value;
    }
}
