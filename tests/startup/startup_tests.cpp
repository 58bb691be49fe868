// Start-up pieces in-process: the floating-point mode, processor faults turned into faults that
// unwind through our frames, the fault location, and the diagnostic line.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/object.h"
#include "startup/binding.h"
#include "startup/fault.h"
#include "startup/fpmode.h"
#include "startup/platform.h"
#include "startup/startup.h"
#include "support/fp_mode.h"

namespace {

// Runs `body` under the program's mode and restores the test's mode afterwards.
template <class F>
void underProgramMode(F body) {
    test_support::MxcsrScope keep;
    startup::setFloatingPointMode();
    body();
}

struct Sentinel {
    int* released;
    ~Sentinel() { ++*released; }
};

volatile double vzero = 0.0;
volatile double vone = 1.0;
volatile double vten = 10.0;
volatile int izero = 0;
volatile int sink = 0;
int* volatile nowhere = nullptr;

__attribute__((noinline)) double divideZeroByZero(int* released) {
    Sentinel s{released};
    return vzero / vzero;
}
// The division is the point of the test: the sanitizers must not report it first.
__attribute__((noinline, no_sanitize("undefined"))) int divideByZero(int* released) {
    Sentinel s{released};
    return 7 / izero;
}
__attribute__((noinline, no_sanitize("address", "undefined"))) int readNowhere(int* released) {
    Sentinel s{released};
    return *nowhere;
}
__attribute__((noinline)) double passOn(int* released, double (*inner)(int*)) {
    Sentinel s{released};
    return inner(released) + 1.0;
}

// Clang accepts -fnon-call-exceptions but does not implement it: a fault in an instruction of a
// frame with destructors to run finds no handler entry there and ends in std::terminate.
#if defined(__clang__)
#define SKIP_WITHOUT_NON_CALL_EXCEPTIONS() \
    GTEST_SKIP() << "clang does not unwind a processor fault through a frame with destructors"
#else
#define SKIP_WITHOUT_NON_CALL_EXCEPTIONS() (void)0
#endif

class ProcessorFaults : public ::testing::Test {
protected:
    void SetUp() override {
        startup::faultLocation = 0;
        platform::catchProcessorFaults(&startup::faultLocation);
    }
    void TearDown() override { startup::faultLocation = 0; }
};

}  // namespace

TEST(FloatingPointMode, RoundsTowardZeroAndKeepsSubnormals) {
    underProgramMode([] {
        EXPECT_EQ(startup::floatingPointMode() & ~0x3Fu, 0x7F00u);
        // 1/10 rounds up to ...9A to nearest; toward zero it stays ...99.
        EXPECT_EQ(std::bit_cast<uint64_t>(vone / vten), 0x3FB9999999999999ull);
        // -1/10 rounds toward zero too, not toward minus infinity.
        EXPECT_EQ(std::bit_cast<uint64_t>(-vone / vten), 0xBFB9999999999999ull);
        // Subnormal results survive (no flush to zero), overflow is masked.
        volatile double tiny = 0x1p-1070;
        EXPECT_EQ(tiny / 2.0, 0x1p-1071);
        volatile double huge = 1e308;
        EXPECT_EQ(huge * 10.0, 0x1.fffffffffffffp1023) << "toward zero, overflow gives the largest double";
    });
}

TEST_F(ProcessorFaults, InvalidOperationFaultsAndUnwindsThroughEveryFrame) {
    SKIP_WITHOUT_NON_CALL_EXCEPTIONS();
    int released = 0;
    underProgramMode([&] {
        try {
            passOn(&released, divideZeroByZero);
            ADD_FAILURE() << "0/0 must fault";
        } catch (const lumen::Fault& f) {
            EXPECT_EQ(f.code, lumen::kFloatInvalid);
            EXPECT_EQ(f.argument, 0u);
            EXPECT_NE(f.address, 0u);
            EXPECT_EQ(startup::faultLocation, f.address);
            // The mode is the program's again, with no stale exception flag.
            EXPECT_EQ(startup::floatingPointMode(), 0x7F00u);
        }
    });
    EXPECT_EQ(released, 2) << "both routines released their locals";
}

TEST_F(ProcessorFaults, IntegerDivisionAndInvalidAccessGetTheirCodes) {
    SKIP_WITHOUT_NON_CALL_EXCEPTIONS();
    int released = 0;
    try {
        sink = divideByZero(&released);
        ADD_FAILURE();
    } catch (const lumen::Fault& f) {
        EXPECT_EQ(f.code, lumen::kIntDivideByZero);
    }
    startup::faultLocation = 0;
    try {
        sink = readNowhere(&released);
        ADD_FAILURE();
    } catch (const lumen::Fault& f) {
        EXPECT_EQ(f.code, lumen::kAccessViolation);
        EXPECT_EQ(startup::faultLocation, f.address);
    }
    EXPECT_EQ(released, 2);
    // The handlers stay in force after faults left through them.
    try {
        sink = readNowhere(&released);
        ADD_FAILURE();
    } catch (const lumen::Fault& f) {
        EXPECT_EQ(f.code, lumen::kAccessViolation);
    }
}

namespace {
__attribute__((noinline)) void raiseFromHere() { startup::raiseFault(4242, 0); }
__attribute__((noinline)) void callsTheRaiser(int* released) {
    Sentinel s{released};
    raiseFromHere();
}
}  // namespace

TEST(FaultLocation, KeepsTheRaisingPlaceAndIsWrittenOnlyWhileEmpty) {
    startup::faultLocation = 0;
    int released = 0;
    uint64_t first = 0;
    try {
        callsTheRaiser(&released);
    } catch (const lumen::Fault& f) {
        EXPECT_EQ(f.code, 4242u);
        first = f.address;
    }
    EXPECT_EQ(released, 1);
    ASSERT_EQ(startup::faultLocation, first);
    const auto raiser = reinterpret_cast<uint64_t>(&raiseFromHere);
    EXPECT_GT(first, raiser);
    EXPECT_LT(first, raiser + 64) << "the place lies inside the raising routine, not a caller";

    try {
        startup::raiseFault(1, 0);
    } catch (const lumen::Fault& f) {
        EXPECT_NE(f.address, first);
    }
    EXPECT_EQ(startup::faultLocation, first) << "a second fault does not overwrite the first";
    startup::faultLocation = 0;
}

namespace {
// A stand-in AllocMem/FreeMem so Strings can be made in-process.
void* testAlloc(int64_t bytes, const char16_t*) { return std::calloc(1, static_cast<size_t>(bytes)); }
void testFree(void* p) { std::free(p); }
}  // namespace

TEST(Diagnostic, NamesCodeLocationAndMessage) {
    rt::setEntry(rt::Name::AllocMem, reinterpret_cast<void*>(&testAlloc));
    rt::setEntry(rt::Name::FreeMem, reinterpret_cast<void*>(&testFree));
    {
        rt::Ref<lumen::String> message = rt::makeString(u"tour \u00e9croul\u00e9e \u2192 \U0001F3D7");
        const std::string line = startup::diagnostic(5000, message.get(), 0x1234);
        EXPECT_EQ(line.rfind("Stackrise: fault 0x1388 (5000) at 0x1234", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.find(": ", 20)), ": tour \xC3\xA9" "croul\xC3\xA9" "e \xE2\x86\x92 \xF0\x9F\x8F\x97");
    }
    {
        // Control characters, C1 ones and bytes that are not UTF-8 reach no terminal raw.
        rt::Ref<lumen::String> message = rt::makeString(u"folder a\x1B]0;x\x07\u009B2J\n\tb");
        EXPECT_EQ(startup::diagnostic(1006, message.get(), 0),
                  "Stackrise: fault 0x3EE (1006) at an unknown place: folder a\\x1B]0;x\\x07\\xC2\\x9B2J\\n\\tb");
    }
    EXPECT_EQ(startup::diagnostic(lumen::kFloatInvalid, nullptr, 0),
              "Stackrise: fault 0xC0000090 (3221225616) at an unknown place: floating-point invalid operation");
    EXPECT_EQ(startup::diagnostic(0x12345678, nullptr, 0),
              "Stackrise: fault 0x12345678 (305419896) at an unknown place: no message");
    // A place inside this test program names its module and offset.
    const std::string own = startup::diagnostic(1, nullptr, reinterpret_cast<uint64_t>(&raiseFromHere));
    EXPECT_NE(own.find("(startup_tests+0x"), std::string::npos) << own;
    rt::clearEntries();
}

// The message box of a run without a console: a long line is broken at spaces into rows of at
// most 80 characters (a word longer than a row is cut, never inside a character) and capped at
// 20 rows, so that the box and its button stay on the screen.
TEST(MessageBox, LongTextIsWrappedAtSpacesAndCapped) {
    EXPECT_EQ(platform::boxText("Stackrise: fault 0x3EA", 80, 20), "Stackrise: fault 0x3EA");
    const auto rows = [](const std::string& text) {
        std::vector<std::string> out;
        for (std::size_t at = 0;;) {
            const std::size_t end = text.find('\n', at);
            out.push_back(text.substr(at, end - at));
            if (end == std::string::npos) return out;
            at = end + 1;
        }
    };
    std::string words;
    for (int i = 0; i < 30; ++i) words += "word" + std::to_string(i) + " ";
    words.pop_back();
    const std::vector<std::string> wrapped = rows(platform::boxText(words, 40, 20));
    std::string joined;
    for (const std::string& row : wrapped) {
        EXPECT_LE(row.size(), 40u) << row;
        EXPECT_NE(row.front(), ' ');
        joined += (joined.empty() ? "" : " ") + row;
    }
    EXPECT_EQ(joined, words);
    // A path without spaces is cut at the width, in whole characters (each CJK one is 3 bytes).
    std::string path;
    for (int i = 0; i < 50; ++i) path += "\xE5\xA0\xB1";
    const std::vector<std::string> cut = rows(platform::boxText(path, 20, 20));
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0].size(), 60u);
    EXPECT_EQ(cut[2].size(), 30u);
    // Far too long: 20 rows, the last saying that the text goes on.
    const std::vector<std::string> capped = rows(platform::boxText(std::string(5000, 'x'), 80, 20));
    ASSERT_EQ(capped.size(), 20u);
    EXPECT_EQ(capped.back().substr(capped.back().size() - 3), "...");
}
