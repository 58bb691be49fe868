// The web build's C++ library (emscripten 3.1.6) has neither std::from_chars nor std::to_chars
// for double: these are the two overloads Lumen uses, force-included into its sources there.
//
// from_chars: the grammar of the standard's chars_format::general: an optional '-', then decimal
// digits with an optional point and exponent, or inf, infinity, nan, nan(chars), any case; no
// blanks, no '+'.
// The value is the correctly rounded one (the C library's strtod on exactly the matched text);
// a finite text beyond the double range, or one that underflows to zero, is result_out_of_range
// (subnormal results are values).
#pragma once

#include <cerrno>
#include <cstdio>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

// In namespace lumen_web_charconv, so that a native test can hold them against its own library;
// the web build puts them in std (below), where Lumen's calls find them.
namespace lumen_web_charconv {

using std::chars_format;
using std::errc;
using std::from_chars_result;
using std::to_chars_result;

inline from_chars_result from_chars(const char* first, const char* last, double& value,
                                    chars_format = chars_format::general) {
    const char* p = first;
    const bool negative = p != last && *p == '-';
    if (negative) ++p;
    auto matchWord = [&](const char* word) {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(last - p) < n) return false;
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i] >= 'A' && p[i] <= 'Z' ? static_cast<char>(p[i] - 'A' + 'a') : p[i];
            if (c != word[i]) return false;
        }
        p += n;
        return true;
    };
    if (matchWord("inf")) {
        const char* afterInf = p;
        if (!matchWord("inity")) p = afterInf;
        value = negative ? -HUGE_VAL : HUGE_VAL;
        return {p, errc()};
    }
    if (matchWord("nan")) {
        if (p != last && *p == '(') {
            const char* q = p + 1;
            while (q != last && (*q == '_' || (*q >= '0' && *q <= '9') || (*q >= 'a' && *q <= 'z') ||
                                 (*q >= 'A' && *q <= 'Z')))
                ++q;
            if (q != last && *q == ')') p = q + 1;
        }
        value = negative ? -std::nan("") : std::nan("");
        return {p, errc()};
    }
    size_t digits = 0;
    while (p != last && *p >= '0' && *p <= '9') ++p, ++digits;
    if (p != last && *p == '.') {
        ++p;
        while (p != last && *p >= '0' && *p <= '9') ++p, ++digits;
    }
    if (digits == 0) return {first, errc::invalid_argument};
    if (p != last && (*p == 'e' || *p == 'E')) {
        const char* e = p + 1;
        if (e != last && (*e == '+' || *e == '-')) ++e;
        const char* exponentDigits = e;
        while (e != last && *e >= '0' && *e <= '9') ++e;
        if (e != exponentDigits) p = e;
    }
    const std::string text(first, p);
    errno = 0;
    const double parsed = std::strtod(text.c_str(), nullptr);
    // The C library reports subnormal results as a range error too; those are values.
    if (errno == ERANGE && (parsed == 0.0 || std::isinf(parsed))) return {p, errc::result_out_of_range};
    value = parsed;
    return {p, errc()};
}

// to_chars without a format: the shortest text that reads back to `value` exactly, in plain
// decimal ("%f" style) or with an exponent ("%e" style, at least two exponent digits),
// whichever is shorter, plain on a tie; the digits are the nearest ones of that count, but an
// integer in plain form is spelt exactly. `value`
// must be finite (Lumen formats inf and nan itself).
inline to_chars_result to_chars(char* first, char* last, double value) {
    char sci[40];
    int precision = 1;
    for (; precision <= 17; ++precision) {
        std::snprintf(sci, sizeof sci, "%.*e", precision - 1, std::fabs(value));
        if (std::strtod(sci, nullptr) == std::fabs(value)) break;
    }
    // sci: "D[.DDD]e[+-]XX" with `precision` significant digits.
    std::string digits;
    const char* e = std::strchr(sci, 'e');
    for (const char* c = sci; c != e; ++c)
        if (*c != '.') digits += *c;
    const int exponent = std::atoi(e + 1);
    const std::string sign = std::signbit(value) ? "-" : "";
    const int count = static_cast<int>(digits.size());

    std::string scientific = sign + digits.substr(0, 1);
    if (count > 1) {
        scientific += '.';
        scientific += digits.substr(1);
    }
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    scientific += tail;

    std::string plain = sign;
    if (exponent >= count - 1) {
        // An integer: plain form spells its exact digits (as many as the shortest digits padded
        // with zeros would take).
        char exact[400];
        std::snprintf(exact, sizeof exact, "%.0f", std::fabs(value));
        plain += exact;
    } else if (exponent >= 0) {
        plain += digits.substr(0, static_cast<size_t>(exponent + 1));
        plain += '.';
        plain += digits.substr(static_cast<size_t>(exponent + 1));
    } else {
        plain += "0.";
        plain.append(static_cast<size_t>(-exponent - 1), '0');
        plain += digits;
    }
    const std::string& text = plain.size() <= scientific.size() ? plain : scientific;
    if (static_cast<size_t>(last - first) < text.size()) return {last, errc::value_too_large};
    std::memcpy(first, text.data(), text.size());
    return {first + text.size(), errc()};
}

}  // namespace lumen_web_charconv

#if defined(__EMSCRIPTEN__)
namespace std {
using lumen_web_charconv::from_chars;
using lumen_web_charconv::to_chars;
}  // namespace std
#endif
