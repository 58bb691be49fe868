// rt::SoftFloat, run with the processor rounding to nearest, against the processor itself under
// the program's rounding (toward zero), the invalid-operation flag standing in for the fault:
// every result bit for bit, every trap at the same operation. The processor side uses the
// instructions the compiler emits for double (addsd, comisd, ucomisd, cvttsd2si, cvtsi2sd, ...)
// written out, so that operand order and the kind of comparison are fixed.
//
// STACKRISE_FLOAT_SCALE=N (default 1) multiplies the number of operands of every test;
// STACKRISE_FLOAT_SEED=S (default 0) draws other random operands.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "runtime/float.h"
#include "support/fp_mode.h"

#if !defined(__x86_64__)
#error "the reference is the x86-64 processor"
#endif

namespace {

using rt::SoftFloat;

static_assert(std::is_same_v<rt::Float, double>, "native builds compute Float in hardware");
static_assert(sizeof(SoftFloat) == sizeof(double));

uint64_t bitsOf(double x) { return std::bit_cast<uint64_t>(x); }
double fromBits(uint64_t b) { return std::bit_cast<double>(b); }

// ---- The processor's side: one instruction each, under whatever mode is set. ----------------

// a OP b by the one instruction `op` (addsd, subsd, mulsd, divsd).
#define HW_ARITHMETIC(name, op)                                             \
    double name(double a, double b) {                                       \
        asm volatile(op " %1, %0" : "+x"(a) : "x"(b) : "memory");           \
        return a;                                                           \
    }
HW_ARITHMETIC(hwAdd, "addsd")
HW_ARITHMETIC(hwSub, "subsd")
HW_ARITHMETIC(hwMul, "mulsd")
HW_ARITHMETIC(hwDiv, "divsd")
#undef HW_ARITHMETIC

bool hwEq(double a, double b) {
    bool z, p;
    asm volatile("ucomisd %[b], %[a]" : "=@ccz"(z), "=@ccp"(p) : [a] "x"(a), [b] "x"(b) : "memory");
    return z && !p;
}
// a < b (condition "a", above) and a <= b ("ae") as the compiler emits them: b compared with a.
#define HW_ORDERED(name, condition)                                                               \
    bool name(double a, double b) {                                                               \
        bool r;                                                                                   \
        asm volatile("comisd %[a], %[b]" : "=@cc" condition(r) : [a] "x"(a), [b] "x"(b) : "memory"); \
        return r;                                                                                 \
    }
HW_ORDERED(hwLt, "a")
HW_ORDERED(hwLe, "ae")
#undef HW_ORDERED
int64_t hwToInt(double x) {
    int64_t r;
    asm volatile("cvttsd2si %1, %0" : "=r"(r) : "x"(x) : "memory");
    return r;
}
double hwFromInt(int64_t n) {
    double r = 0.0;
    asm volatile("cvtsi2sdq %1, %0" : "+x"(r) : "r"(n) : "memory");
    return r;
}

// Whether an invalid operation happened since the last call (the flag is sticky).
bool hwInvalid() {
    if (!std::fetestexcept(FE_INVALID)) return false;
    std::feclearexcept(FE_INVALID);
    return true;
}

// ---- SoftFloat's side: its trap counts. -------------------------------------------------------

int softTraps = 0;
void countTrap() { ++softTraps; }
bool softInvalid() {
    const bool trapped = softTraps != 0;
    softTraps = 0;
    return trapped;
}

using RoundingMode = test_support::RoundingScope;

// ---- Operands. --------------------------------------------------------------------------------

int scale() {
    const char* s = std::getenv("STACKRISE_FLOAT_SCALE");
    const int n = s ? std::atoi(s) : 1;
    return n > 0 ? n : 1;
}

// The random generator of the test numbered `test`.
std::mt19937_64 generator(uint64_t test) {
    const char* s = std::getenv("STACKRISE_FLOAT_SEED");
    return std::mt19937_64(test + (s ? std::strtoull(s, nullptr, 10) : 0) * 1000);
}

constexpr uint64_t kSNaN = 0x7FF0000000000001u;

std::vector<double> edgeValues() {
    const double inf = std::numeric_limits<double>::infinity();
    const double minSub = std::numeric_limits<double>::denorm_min();
    const double maxSub = fromBits(0x000FFFFFFFFFFFFFu);
    std::vector<double> v = {0.0,  minSub,       2 * minSub,     maxSub,        DBL_MIN,
                             fromBits(bitsOf(DBL_MIN) + 1),      DBL_MAX,       fromBits(bitsOf(DBL_MAX) - 1),
                             inf,  1.0,          fromBits(bitsOf(1.0) + 1),     fromBits(bitsOf(1.0) - 1),
                             2.0,  0.5,          3.0,            0.1,           1.0 / 3.0,
                             1.5,  0x1p52,       0x1p53,         0x1p53 + 2,    0x1p63,
                             fromBits(bitsOf(0x1p63) - 1),       fromBits(bitsOf(0x1p63) + 1), 0x1p64,
                             0x1p-1022 * 0x1p52, 0x1p1023,       0x1p-537,      0x1p511,
                             1e308, 1e-308,      4.9e-324 * 3,   0x1.fffffffffffffp-1, 12345.678};
    const size_t n = v.size();
    for (size_t i = 0; i < n; ++i) v.push_back(-v[i]);
    for (uint64_t nan : {uint64_t{0x7FF8000000000000u}, uint64_t{0xFFF8000000000000u}, kSNaN,
                         uint64_t{0xFFF0000000000123u}, uint64_t{0x7FF8000000ABCDEFu}, uint64_t{0x7FF4000000000000u}})
        v.push_back(fromBits(nan));
    return v;
}

// A double of sign, binary exponent (unbiased, -1074 .. 1023, clamped) and `bits` significant
// bits (1 .. 53) of random significand.
double makeValue(std::mt19937_64& rng, int exponent, int bits) {
    uint64_t m = (rng() >> 11) | (uint64_t{1} << 52);
    m &= ~((uint64_t{1} << (53 - bits)) - 1);
    const bool negative = rng() & 1;
    double x;
    if (exponent > 1023) exponent = 1023;
    if (exponent >= -1022) {
        x = fromBits((static_cast<uint64_t>(exponent + 1023) << 52) | (m & 0x000FFFFFFFFFFFFFu));
    } else {
        const int shift = -1022 - exponent;
        x = fromBits(shift >= 53 ? 1 : (m >> shift));
    }
    return negative ? -x : x;
}

int significantBits(std::mt19937_64& rng) {
    // Half full-width significands; the rest short, which makes exact and halfway results common.
    return (rng() & 1) ? 53 : 1 + static_cast<int>(rng() % 53);
}

struct Pairs {
    std::vector<double> a, b;
    void add(double x, double y) {
        a.push_back(x);
        b.push_back(y);
    }
    // A pair of random values with binary exponents ea and eb and random significand lengths.
    void addAt(std::mt19937_64& rng, int ea, int eb) {
        add(makeValue(rng, ea, significantBits(rng)), makeValue(rng, eb, significantBits(rng)));
    }
};

// ---- The comparison. ----------------------------------------------------------------------------

struct Outcome {
    uint64_t sum, difference, product, quotient;
    int64_t integer;  // a truncated
    uint32_t flags;   // compare results and invalid flags, one bit each
};

// Bits of Outcome::flags: the comparisons' results, then each operation's invalid flag.
enum : uint32_t {
    kEq = 1, kLt = 2, kLe = 4, kGt = 8, kGe = 16, kNe = 1 << 19,
    kSumInvalid = 1 << 8, kDifferenceInvalid = 1 << 9, kProductInvalid = 1 << 10, kQuotientInvalid = 1 << 11,
    kEqInvalid = 1 << 12, kNeInvalid = 1 << 13, kLtInvalid = 1 << 14, kLeInvalid = 1 << 15,
    kGtInvalid = 1 << 16, kGeInvalid = 1 << 17, kIntegerInvalid = 1 << 18,
};

Outcome hardware(double a, double b) {
    Outcome o{};
    o.sum = bitsOf(hwAdd(a, b));
    if (hwInvalid()) o.flags |= kSumInvalid;
    o.difference = bitsOf(hwSub(a, b));
    if (hwInvalid()) o.flags |= kDifferenceInvalid;
    o.product = bitsOf(hwMul(a, b));
    if (hwInvalid()) o.flags |= kProductInvalid;
    o.quotient = bitsOf(hwDiv(a, b));
    if (hwInvalid()) o.flags |= kQuotientInvalid;
    if (hwEq(a, b)) o.flags |= kEq;
    if (hwInvalid()) o.flags |= kEqInvalid;
    if (!hwEq(a, b)) o.flags |= kNe;
    if (hwInvalid()) o.flags |= kNeInvalid;
    if (hwLt(a, b)) o.flags |= kLt;
    if (hwInvalid()) o.flags |= kLtInvalid;
    if (hwLe(a, b)) o.flags |= kLe;
    if (hwInvalid()) o.flags |= kLeInvalid;
    if (hwLt(b, a)) o.flags |= kGt;
    if (hwInvalid()) o.flags |= kGtInvalid;
    if (hwLe(b, a)) o.flags |= kGe;
    if (hwInvalid()) o.flags |= kGeInvalid;
    o.integer = hwToInt(a);
    if (hwInvalid()) o.flags |= kIntegerInvalid;
    return o;
}

Outcome software(double a, double b) {
    const SoftFloat x = a, y = b;
    Outcome o{};
    o.sum = (x + y).bits();
    if (softInvalid()) o.flags |= kSumInvalid;
    o.difference = (x - y).bits();
    if (softInvalid()) o.flags |= kDifferenceInvalid;
    o.product = (x * y).bits();
    if (softInvalid()) o.flags |= kProductInvalid;
    o.quotient = (x / y).bits();
    if (softInvalid()) o.flags |= kQuotientInvalid;
    if (x == y) o.flags |= kEq;
    if (softInvalid()) o.flags |= kEqInvalid;
    if (x != y) o.flags |= kNe;
    if (softInvalid()) o.flags |= kNeInvalid;
    if (x < y) o.flags |= kLt;
    if (softInvalid()) o.flags |= kLtInvalid;
    if (x <= y) o.flags |= kLe;
    if (softInvalid()) o.flags |= kLeInvalid;
    if (x > y) o.flags |= kGt;
    if (softInvalid()) o.flags |= kGtInvalid;
    if (x >= y) o.flags |= kGe;
    if (softInvalid()) o.flags |= kGeInvalid;
    o.integer = static_cast<int64_t>(x);
    if (softInvalid()) o.flags |= kIntegerInvalid;
    return o;
}

std::string hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

constexpr size_t kBase = 600000;  // pairs per test and unit of STACKRISE_FLOAT_SCALE

class SoftFloatTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousTrap_ = rt::setFloatTrap(countTrap);
        softTraps = 0;
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    void TearDown() override { rt::setFloatTrap(previousTrap_); }

    // Every operation on every pair, processor toward zero against software; returns the number of
    // operations compared. Mismatches fail the test (the first few are printed).
    uint64_t compare(const Pairs& pairs) {
        const size_t n = pairs.a.size();
        std::vector<Outcome> expected(n);
        {
            RoundingMode mode(FE_TOWARDZERO);
            hwInvalid();
            for (size_t i = 0; i < n; ++i) expected[i] = hardware(pairs.a[i], pairs.b[i]);
        }
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        int reported = 0;
        uint64_t mismatches = 0;
        for (size_t i = 0; i < n; ++i) {
            const Outcome got = software(pairs.a[i], pairs.b[i]);
            const Outcome& want = expected[i];
            const bool same = got.sum == want.sum && got.difference == want.difference &&
                              got.product == want.product && got.quotient == want.quotient &&
                              got.integer == want.integer && got.flags == want.flags;
            if (same) continue;
            ++mismatches;
            if (reported++ < 10) {
                ADD_FAILURE() << "a=" << hex(bitsOf(pairs.a[i])) << " b=" << hex(bitsOf(pairs.b[i]))
                              << "\n  sum  hw " << hex(want.sum) << " soft " << hex(got.sum)
                              << "\n  diff hw " << hex(want.difference) << " soft " << hex(got.difference)
                              << "\n  prod hw " << hex(want.product) << " soft " << hex(got.product)
                              << "\n  quot hw " << hex(want.quotient) << " soft " << hex(got.quotient)
                              << "\n  int  hw " << want.integer << " soft " << got.integer
                              << "\n  flags hw " << std::hex << want.flags << " soft " << got.flags;
            }
        }
        EXPECT_EQ(mismatches, 0u) << "of " << n << " pairs";
        std::printf("[ compared ] %zu pairs, %zu operations\n", n, n * 11);
        return n * 11;
    }

    // `pairs` and kBase * scale() more, each made by add(rng, pairs) from generator(seed), compared.
    template <class Add>
    void compareGenerated(int seed, Add add, Pairs pairs = {}) {
        std::mt19937_64 rng = generator(seed);
        for (size_t k = 0; k < kBase * scale(); ++k) add(rng, pairs);
        EXPECT_GT(compare(pairs), kBase);
    }

    rt::FloatTrap previousTrap_ = nullptr;
};

TEST_F(SoftFloatTest, EdgeOperandsPairwise) {
    const std::vector<double> edges = edgeValues();
    Pairs pairs;
    for (double x : edges)
        for (double y : edges) pairs.add(x, y);
    // Edge operands against random ones of every exponent.
    compareGenerated(1, [&](std::mt19937_64& rng, Pairs& more) {
        const double edge = edges[rng() % edges.size()];
        const double other = makeValue(rng, -1080 + static_cast<int>(rng() % 2110), significantBits(rng));
        if (rng() & 1)
            more.add(edge, other);
        else
            more.add(other, edge);
    }, std::move(pairs));
}

TEST_F(SoftFloatTest, RandomBitPatterns) {
    compareGenerated(2, [](std::mt19937_64& rng, Pairs& pairs) { pairs.add(fromBits(rng()), fromBits(rng())); });
}

// Exponents close together: cancellation, carries and ties in sums and differences.
TEST_F(SoftFloatTest, NearbyExponents) {
    compareGenerated(3, [](std::mt19937_64& rng, Pairs& pairs) {
        const int ea = -1080 + static_cast<int>(rng() % 2110);
        const int eb = ea - 60 + static_cast<int>(rng() % 121);
        pairs.addAt(rng, ea, eb);
    });
}

// Moderate values, around 1.
TEST_F(SoftFloatTest, ModerateValues) {
    compareGenerated(4, [](std::mt19937_64& rng, Pairs& pairs) {
        const int ea = -30 + static_cast<int>(rng() % 61);
        const int eb = -30 + static_cast<int>(rng() % 61);
        pairs.addAt(rng, ea, eb);
    });
}

// Products and quotients landing near overflow, near the smallest normal and in the subnormals.
TEST_F(SoftFloatTest, ResultsAtTheRangeEnds) {
    compareGenerated(5, [](std::mt19937_64& rng, Pairs& pairs) {
        const int target = (rng() & 1) ? 1018 + static_cast<int>(rng() % 10)   // overflow
                                       : -1130 + static_cast<int>(rng() % 115);  // underflow
        const int ea = -1074 + static_cast<int>(rng() % 2098);
        const bool quotient = rng() & 1;
        const int eb = quotient ? ea - target : target - ea;
        pairs.addAt(rng, ea, eb);
    });
}

// Dividends one step either side of an exact multiple of the divisor: quotients just above, at
// and just below a double; products of short significands: exact results and ties.
TEST_F(SoftFloatTest, NearExactQuotientsAndProducts) {
    compareGenerated(6, [](std::mt19937_64& rng, Pairs& pairs) {
        const int bitsQ = 1 + static_cast<int>(rng() % 53);
        const int bitsB = 1 + static_cast<int>(rng() % 53);
        const int eq = -1000 + static_cast<int>(rng() % 2000);
        const int eb = -1074 + static_cast<int>(rng() % 2098);
        const double q = makeValue(rng, eq, bitsQ), b = makeValue(rng, eb, bitsB);
        double a = q * b;  // nearest (the test runs rounding to nearest); exact when short enough
        const int step = static_cast<int>(rng() % 3) - 1;
        if (std::isfinite(a) && a != 0) a = fromBits(bitsOf(a) + static_cast<uint64_t>(static_cast<int64_t>(step)));
        pairs.add(a, b);
        pairs.add(q, b);
    });
}

// Values around the ends of the 64-bit integers, for truncation.
TEST_F(SoftFloatTest, TruncationAtTheIntegerRange) {
    std::mt19937_64 rng = generator(7);
    Pairs pairs;
    for (double limit : {0x1p63, -0x1p63, 0x1p62, 0x1p53, 1.0, 0.5})
        for (int step = -3000; step <= 3000; ++step) {
            const double x = fromBits(bitsOf(limit) + static_cast<uint64_t>(static_cast<int64_t>(step)));
            pairs.add(x, limit);
            pairs.add(-x, fromBits(rng()));
        }
    EXPECT_GT(compare(pairs), 30000u);
}

// Conversion from 64-bit integers of every length: cvtsi2sd toward zero.
TEST_F(SoftFloatTest, FromInt64) {
    std::mt19937_64 rng = generator(8);
    std::vector<int64_t> values = {0, 1, -1, INT64_MIN, INT64_MAX, INT64_MIN + 1, INT64_MAX - 1,
                                   (int64_t{1} << 53) + 1, -(int64_t{1} << 53) - 1, (int64_t{1} << 53) - 1,
                                   (int64_t{1} << 54) + 3, (int64_t{1} << 62) + 1023};
    for (size_t k = 0; k < kBase * 4 * scale(); ++k) {
        const int length = static_cast<int>(rng() % 65);
        const uint64_t raw = rng();
        const int64_t magnitude = length == 0 ? 0 : static_cast<int64_t>(raw >> (64 - length));
        values.push_back(length == 64 ? static_cast<int64_t>(raw) : magnitude * ((raw & 1) ? -1 : 1));
    }
    std::vector<uint64_t> expected(values.size());
    {
        RoundingMode mode(FE_TOWARDZERO);
        for (size_t i = 0; i < values.size(); ++i) expected[i] = bitsOf(hwFromInt(values[i]));
        EXPECT_FALSE(hwInvalid());
    }
    uint64_t mismatches = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const uint64_t got = SoftFloat(values[i]).bits();
        if (got != expected[i] && mismatches++ < 10)
            ADD_FAILURE() << values[i] << ": hw " << hex(expected[i]) << " soft " << hex(got);
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_FALSE(softInvalid());
    std::printf("[ compared ] %zu conversions\n", values.size());
    // Narrower and unsigned integers too (the compiler's unsigned 64-bit conversion honours the mode).
    RoundingMode mode(FE_TOWARDZERO);
    volatile uint64_t big = 0xFFFFFFFFFFFFFFFFu;
    const double hwBig = static_cast<double>(big);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(SoftFloat(uint64_t{0xFFFFFFFFFFFFFFFFu}).bits(), bitsOf(hwBig));
    EXPECT_EQ(SoftFloat(-7).bits(), bitsOf(-7.0));
    EXPECT_EQ(SoftFloat(uint8_t{200}).bits(), bitsOf(200.0));
}

// The reference really rounds toward zero (and the software side runs rounding to nearest).
TEST_F(SoftFloatTest, ReferenceRoundsTowardZero) {
    const double above = 0x1.8p-53;  // 1 + above lies above the halfway point after 1
    {
        RoundingMode mode(FE_TOWARDZERO);
        EXPECT_EQ(hwAdd(1.0, above), 1.0);
        EXPECT_EQ(hwAdd(-1.0, -above), -1.0);
        EXPECT_EQ(hwMul(DBL_MAX, 2.0), DBL_MAX);
        EXPECT_EQ(hwDiv(1.0, 3.0), fromBits(0x3FD5555555555555u));
    }
    EXPECT_EQ(hwAdd(1.0, above), fromBits(bitsOf(1.0) + 1));
    EXPECT_EQ((SoftFloat(1.0) + SoftFloat(above)).value(), 1.0);
    EXPECT_EQ((SoftFloat(DBL_MAX) * SoftFloat(2.0)).value(), DBL_MAX);
    EXPECT_EQ((SoftFloat(-1.0) / SoftFloat(3.0)).bits(), 0xBFD5555555555555u);
}

// Doubles and integers mix with SoftFloat as with double; integers convert toward zero.
TEST_F(SoftFloatTest, MixedOperands) {
    const SoftFloat x = 1.5;
    EXPECT_EQ((x + 2).value(), 3.5);
    EXPECT_EQ((2.0 * x).value(), 3.0);
    EXPECT_EQ((x - int64_t{4}).value(), -2.5);
    EXPECT_TRUE(x < 2);
    EXPECT_TRUE(1.5 == x);
    const SoftFloat big = INT64_MAX;  // 2^63 - 1 toward zero: 2^63 - 1024
    EXPECT_EQ(big.value(), 0x1p63 - 1024);
    EXPECT_EQ(static_cast<int64_t>(SoftFloat(-2.75)), -2);
    EXPECT_FALSE(softInvalid());
}

// Negation flips the sign bit alone, NaN included, and never traps.
TEST_F(SoftFloatTest, Negation) {
    for (double x : edgeValues()) {
        EXPECT_EQ((-SoftFloat(x)).bits(), bitsOf(x) ^ 0x8000000000000000u);
        EXPECT_EQ((+SoftFloat(x)).bits(), bitsOf(x));
    }
    EXPECT_FALSE(softInvalid());
}

// The trap hook sees each invalid operation once; compound assignment goes through it as well.
TEST_F(SoftFloatTest, TrapHookCalledPerInvalidOperation) {
    SoftFloat x = 0.0;
    x /= SoftFloat(0.0);
    EXPECT_EQ(softTraps, 1);
    EXPECT_EQ(x.bits(), 0xFFF8000000000000u);
    EXPECT_FALSE(x < SoftFloat(1.0));
    EXPECT_EQ(softTraps, 2);
    EXPECT_FALSE(x == x);  // quiet NaN: no trap
    EXPECT_EQ(softTraps, 2);
    EXPECT_EQ(static_cast<int64_t>(x), INT64_MIN);
    EXPECT_EQ(softTraps, 3);
    softTraps = 0;
}

// The default trap is an invalid operation in the processor itself.
TEST(SoftFloatDefaultTrap, RaisesTheProcessorsInvalidFlag) {
    const rt::FloatTrap previous = rt::setFloatTrap(nullptr);
    std::feclearexcept(FE_INVALID);
    const SoftFloat inf = std::numeric_limits<double>::infinity();
    const SoftFloat r = inf - inf;
    EXPECT_TRUE(std::fetestexcept(FE_INVALID));
    EXPECT_EQ(r.bits(), 0xFFF8000000000000u);
    std::feclearexcept(FE_INVALID);
    EXPECT_EQ((SoftFloat(1.0) + SoftFloat(2.0)).value(), 3.0);
    EXPECT_FALSE(std::fetestexcept(FE_INVALID));
    rt::setFloatTrap(previous);
}

}  // namespace
