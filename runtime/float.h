// The program's Float: a 64-bit binary floating-point number whose every operation rounds toward
// zero and whose invalid operations trap, as under the program's floating-point mode (startup/
// fpmode.h). Native x86-64 builds run in that mode, so Float is plain double there. A build whose
// processor always rounds to nearest and never traps defines STACKRISE_SOFT_FLOAT and gets
// rt::SoftFloat, which computes the same bits in software.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace rt {

// Called when an operation is invalid (0/0, inf-inf, 0*inf, inf/inf, a signalling NaN operand,
// an ordered comparison with a NaN, a NaN or out-of-range conversion to a 64-bit integer). If it
// returns, the operation gives the processor's masked result (the default NaN 0xFFF8000000000000,
// false, or the integer 0x8000000000000000).
using FloatTrap = void (*)();

// The default trap: one invalid operation in the processor, which under the program's mode
// raises the invalid-operation fault (0xC0000090) through the program's fault handling. A build
// whose processor never traps installs its own trap (setFloatTrap) that raises that fault.
inline void raiseInvalidOperation() {
    volatile double zero = 0.0;
    volatile double nan = zero / zero;
    (void)nan;
}

namespace soft_float_detail {

inline FloatTrap trap = raiseInvalidOperation;

constexpr uint64_t kSign = 0x8000000000000000u;
constexpr uint64_t kExponent = 0x7FF0000000000000u;
constexpr uint64_t kFraction = 0x000FFFFFFFFFFFFFu;
constexpr uint64_t kQuiet = 0x0008000000000000u;
constexpr uint64_t kDefaultNaN = 0xFFF8000000000000u;  // the processor's "indefinite" NaN
constexpr uint64_t kMaxFinite = 0x7FEFFFFFFFFFFFFFu;

// The bits of a double and back (the builtin: the web build's library has no std::bit_cast).
inline uint64_t bitsOf(double x) { return __builtin_bit_cast(uint64_t, x); }
inline double fromBits(uint64_t b) { return __builtin_bit_cast(double, b); }
inline bool isNaN(uint64_t b) { return (b & ~kSign) > kExponent; }
inline bool isSignalling(uint64_t b) { return isNaN(b) && (b & kQuiet) == 0; }
inline bool isInf(uint64_t b) { return (b & ~kSign) == kExponent; }
inline bool isZero(uint64_t b) { return (b & ~kSign) == 0; }

inline void invalid() { trap(); }

// NaN result of an operation with a NaN operand: the first NaN operand, quieted; a signalling
// operand is invalid.
inline double nanResult(uint64_t a, uint64_t b) {
    if (isSignalling(a) || isSignalling(b)) invalid();
    return fromBits((isNaN(a) ? a : b) | kQuiet);
}
inline double invalidResult() {
    invalid();
    return fromBits(kDefaultNaN);
}

// The finite value next to nonzero `x` toward zero; ±inf becomes ±DBL_MAX.
inline double towardZero(double x) { return fromBits(bitsOf(x) - 1); }

// `x` (positive, rounded to nearest) moved to the value rounded toward zero, given the sign of the
// exact error (exact value minus x): a negative error means x lies above the exact value.
inline double truncated(double x, double error) { return error < 0 ? towardZero(x) : x; }

// The double nearest zero at or below |m * 2^e| in magnitude, with sign `negative`: rounds toward
// zero, gives ±DBL_MAX on overflow and subnormals or ±0 on underflow. m > 0.
inline double compose(bool negative, uint64_t m, int e) {
    const int shift = (63 - std::countl_zero(m)) - 52;
    if (shift > 0) {
        m >>= shift;
        e += shift;
    } else {
        m <<= -shift;
        e += shift;
    }
    // m in [2^52, 2^53): the value is m * 2^e with binary exponent e + 52.
    uint64_t bits;
    if (e + 52 > 1023) {
        bits = kMaxFinite;
    } else if (e + 52 >= -1022) {
        bits = (static_cast<uint64_t>(e + 52 + 1023) << 52) | (m & kFraction);
    } else {
        const int drop = -1074 - e;  // bits below the subnormal step 2^-1074
        bits = drop >= 64 ? 0 : m >> drop;
    }
    return fromBits(bits | (negative ? kSign : 0));
}

// Nonzero finite |x| as m * 2^e with m in [2^52, 2^53).
struct Scaled {
    uint64_t m;
    int e;
};
inline Scaled scaled(uint64_t bits) {
    const uint64_t field = (bits & kExponent) >> 52;
    uint64_t m = bits & kFraction;
    int e;
    if (field == 0) {
        const int shift = std::countl_zero(m) - 11;
        m <<= shift;
        e = -1074 - shift;
    } else {
        m |= uint64_t{1} << 52;
        e = static_cast<int>(field) - 1075;
    }
    return {m, e};
}
// m * 2^-52: a value in [1, 2).
inline double unit(uint64_t m) { return fromBits((uint64_t{1023} << 52) | (m & kFraction)); }

// Splits x (|x| < 2^970) into hi + lo with at most 26 significant bits each, exactly.
inline void split(double x, double& hi, double& lo) {
    const double c = 134217729.0 * x;  // 2^27 + 1
    hi = c - (c - x);
    lo = x - hi;
}
// The exact error of the rounded-to-nearest product p = a * b (no underflow, no overflow).
inline double productError(double a, double b, double p) {
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

inline double add(double a, double b) {
    const uint64_t ab = bitsOf(a), bb = bitsOf(b);
    if (isNaN(ab) || isNaN(bb)) return nanResult(ab, bb);
    if (isInf(ab) || isInf(bb)) {
        if (isInf(ab) && isInf(bb) && ((ab ^ bb) & kSign)) return invalidResult();
        return isInf(ab) ? a : b;
    }
    // Fast2Sum with |x| >= |y|: s + error is exactly x + y.
    double x = a, y = b;
    if ((bb & ~kSign) > (ab & ~kSign)) {
        x = b;
        y = a;
    }
    const double s = x + y;
    if (isInf(bitsOf(s))) return towardZero(s);  // finite operands overflowing to nearest
    const double error = y - (s - x);
    if (error == 0 || s == 0) return s;
    // Step toward zero when the nearest value lies farther from zero than the exact sum.
    if ((error < 0) != (s < 0)) return towardZero(s);
    return s;
}

inline double sub(double a, double b) {
    const uint64_t ab = bitsOf(a), bb = bitsOf(b);
    if (isNaN(ab) || isNaN(bb)) return nanResult(ab, bb);
    return add(a, fromBits(bb ^ kSign));
}

inline double mul(double a, double b) {
    const uint64_t ab = bitsOf(a), bb = bitsOf(b);
    if (isNaN(ab) || isNaN(bb)) return nanResult(ab, bb);
    const uint64_t sign = (ab ^ bb) & kSign;
    if (isInf(ab) || isInf(bb)) {
        if (isZero(ab) || isZero(bb)) return invalidResult();
        return fromBits(kExponent | sign);
    }
    if (isZero(ab) || isZero(bb)) return fromBits(sign);
    // Significands in [1, 2): their product in [1, 4) rounded toward zero, then scaled.
    const Scaled sa = scaled(ab), sb = scaled(bb);
    const double ma = unit(sa.m), mb = unit(sb.m);
    const double p = ma * mb;
    const Scaled sp = scaled(bitsOf(truncated(p, productError(ma, mb, p))));
    return compose(sign != 0, sp.m, sp.e + sa.e + sb.e + 104);
}

inline double div(double a, double b) {
    const uint64_t ab = bitsOf(a), bb = bitsOf(b);
    if (isNaN(ab) || isNaN(bb)) return nanResult(ab, bb);
    const uint64_t sign = (ab ^ bb) & kSign;
    if (isInf(ab)) {
        if (isInf(bb)) return invalidResult();
        return fromBits(kExponent | sign);
    }
    if (isInf(bb)) return fromBits(sign);
    if (isZero(bb)) {
        if (isZero(ab)) return invalidResult();
        return fromBits(kExponent | sign);  // division by zero is masked: ±inf
    }
    if (isZero(ab)) return fromBits(sign);
    // Significands in [1, 2): their quotient q in (1/2, 2); the remainder ma - q * mb is exact.
    const Scaled sa = scaled(ab), sb = scaled(bb);
    const double ma = unit(sa.m), mb = unit(sb.m);
    const double q = ma / mb;
    const double product = q * mb;
    const double remainder = (ma - product) - productError(q, mb, product);
    const Scaled sq = scaled(bitsOf(truncated(q, remainder)));
    return compose(sign != 0, sq.m, sq.e + sa.e - sb.e);
}

// Ordered comparison a < b (`orEqual`: a <= b); a NaN operand is invalid and compares false.
inline bool less(double a, double b, bool orEqual) {
    if (isNaN(bitsOf(a)) || isNaN(bitsOf(b))) {
        invalid();
        return false;
    }
    return orEqual ? a <= b : a < b;
}
// Quiet comparison a == b; only a signalling NaN operand is invalid.
inline bool equal(double a, double b) {
    const uint64_t ab = bitsOf(a), bb = bitsOf(b);
    if (isNaN(ab) || isNaN(bb)) {
        if (isSignalling(ab) || isSignalling(bb)) invalid();
        return false;
    }
    return a == b;
}

// x truncated to a 64-bit integer; NaN or outside [-2^63, 2^63) is invalid and gives -2^63.
inline int64_t toInt(double x) {
    const uint64_t bits = bitsOf(x);
    if (isNaN(bits) || !(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) {
        invalid();
        return INT64_MIN;
    }
    return static_cast<int64_t>(x);
}

// The 64-bit integer n (its magnitude `magnitude`, sign `negative`) rounded toward zero.
inline double fromInt(bool negative, uint64_t magnitude) {
    if (magnitude == 0) return 0.0;
    return compose(negative, magnitude, 0);
}

}  // namespace soft_float_detail

// Installs `trap` as the invalid-operation trap of SoftFloat (null: the default); returns the
// previous one. Process-wide.
inline FloatTrap setFloatTrap(FloatTrap trap) {
    FloatTrap previous = soft_float_detail::trap;
    soft_float_detail::trap = trap ? trap : raiseInvalidOperation;
    return previous;
}

// A 64-bit binary floating-point value whose arithmetic, comparisons and conversions give the
// bits the processor gives under the program's mode (round toward zero, invalid operations
// trapping; subnormals kept), computed in software. The processor must round to nearest while it
// runs (the default mode everywhere, and the only one on the web).
class SoftFloat {
public:
    constexpr SoftFloat() = default;
    // The value `x`, exactly.
    constexpr SoftFloat(double x) : v_(x) {}
    // The integer `n` rounded toward zero (exact up to 2^53 in magnitude).
    template <class I>
        requires std::is_integral_v<I> && (!std::is_same_v<I, bool>)
    SoftFloat(I n) {
        using namespace soft_float_detail;
        if constexpr (std::is_signed_v<I>) {
            const auto wide = static_cast<int64_t>(n);
            const uint64_t magnitude = wide < 0 ? 0 - static_cast<uint64_t>(wide) : static_cast<uint64_t>(wide);
            v_ = fromInt(wide < 0, magnitude);
        } else {
            v_ = fromInt(false, static_cast<uint64_t>(n));
        }
    }

    // The value as a double, exactly.
    constexpr double value() const { return v_; }
    // Its bit pattern (IEEE binary64).
    uint64_t bits() const { return soft_float_detail::bitsOf(v_); }
    // Truncated to a 64-bit integer; a NaN or a value outside [-2^63, 2^63) traps (then -2^63).
    explicit operator int64_t() const { return soft_float_detail::toInt(v_); }

    // The exact result rounded toward zero (±DBL_MAX past the finite range, subnormals kept); a NaN
    // operand gives the first NaN operand quieted; inf-inf, 0*inf, 0/0, inf/inf and signalling NaN
    // operands trap. x/0 is ±inf.
    friend SoftFloat operator+(SoftFloat a, SoftFloat b) { return soft_float_detail::add(a.v_, b.v_); }
    friend SoftFloat operator-(SoftFloat a, SoftFloat b) { return soft_float_detail::sub(a.v_, b.v_); }
    friend SoftFloat operator*(SoftFloat a, SoftFloat b) { return soft_float_detail::mul(a.v_, b.v_); }
    friend SoftFloat operator/(SoftFloat a, SoftFloat b) { return soft_float_detail::div(a.v_, b.v_); }
    // Flips the sign bit only (NaN included); never traps.
    friend SoftFloat operator-(SoftFloat a) {
        return soft_float_detail::fromBits(a.bits() ^ soft_float_detail::kSign);
    }
    // The value unchanged.
    friend SoftFloat operator+(SoftFloat a) { return a; }

    // *this = *this op b, as the operators above.
    SoftFloat& operator+=(SoftFloat b) { return *this = *this + b; }
    SoftFloat& operator-=(SoftFloat b) { return *this = *this - b; }
    SoftFloat& operator*=(SoftFloat b) { return *this = *this * b; }
    SoftFloat& operator/=(SoftFloat b) { return *this = *this / b; }

    // == and != are quiet (only a signalling NaN traps); < <= > >= trap on any NaN.
    friend bool operator==(SoftFloat a, SoftFloat b) { return soft_float_detail::equal(a.v_, b.v_); }
    friend bool operator!=(SoftFloat a, SoftFloat b) { return !soft_float_detail::equal(a.v_, b.v_); }
    friend bool operator<(SoftFloat a, SoftFloat b) { return soft_float_detail::less(a.v_, b.v_, false); }
    friend bool operator<=(SoftFloat a, SoftFloat b) { return soft_float_detail::less(a.v_, b.v_, true); }
    friend bool operator>(SoftFloat a, SoftFloat b) { return soft_float_detail::less(b.v_, a.v_, false); }
    friend bool operator>=(SoftFloat a, SoftFloat b) { return soft_float_detail::less(b.v_, a.v_, true); }

private:
    double v_ = 0.0;
};

#if defined(STACKRISE_SOFT_FLOAT)
using Float = SoftFloat;
#else
using Float = double;
#endif

}  // namespace rt
