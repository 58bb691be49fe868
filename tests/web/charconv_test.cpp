// The web build's from_chars and to_chars for double (lumen/web_charconv.h), held against the
// native C++ library's: the same text for every double, the same value, end and error for every
// text. Lumen's traces and scripts go through them on the web.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "os/web_charconv.h"

namespace {

std::string nativeText(double x) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, x);
    return std::string(buffer, r.ptr);
}

std::string webText(double x) {
    char buffer[64];
    const auto r = lumen_web_charconv::to_chars(buffer, buffer + sizeof buffer, x);
    EXPECT_EQ(r.ec, std::errc());
    return std::string(buffer, r.ptr);
}

// The doubles to try: random bit patterns (every exponent, subnormals), random integers, short
// decimals, and the edges.
std::vector<double> samples() {
    std::mt19937_64 random(20261209);
    std::vector<double> out = {0.0, -0.0, 1.0, -1.0, 0.1, 0.5, 1e22, 1e23, 1e-5, 1e-4, 123456789012345680000.0,
                               5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e15, 1e16,
                               1e17, 9007199254740993.0, 300.0, 1600.0, 909.0, 0.8};
    for (int i = 0; i < 200000; ++i) {
        const double x = std::bit_cast<double>(random());
        if (std::isfinite(x)) out.push_back(x);
    }
    for (int i = 0; i < 50000; ++i) out.push_back(static_cast<double>(static_cast<int64_t>(random()) >> (random() % 64)));
    for (int i = 0; i < 50000; ++i) out.push_back(static_cast<double>(random() % 100000) / std::pow(10.0, random() % 12));
    return out;
}

TEST(WebCharconv, ToCharsGivesTheNativeShortestText) {
    int differences = 0;
    for (double x : samples()) {
        const std::string native = nativeText(x);
        const std::string web = webText(x);
        if (native != web && ++differences <= 10) ADD_FAILURE() << "native " << native << ", web " << web;
    }
    EXPECT_EQ(differences, 0);
}

TEST(WebCharconv, FromCharsReadsBackEveryText) {
    int differences = 0;
    for (double x : samples()) {
        const std::string text = nativeText(x);
        double value = 1.25;
        const auto r = lumen_web_charconv::from_chars(text.data(), text.data() + text.size(), value);
        if ((r.ec != std::errc() || r.ptr != text.data() + text.size() ||
             std::bit_cast<uint64_t>(value) != std::bit_cast<uint64_t>(x)) &&
            ++differences <= 10)
            ADD_FAILURE() << text;
    }
    EXPECT_EQ(differences, 0);
}

TEST(WebCharconv, FromCharsAgreesOnEdgeTexts) {
    const std::vector<std::string> texts = {
        "1e-400", "2e-324", "3e-324", "1e-310", "1e400", "-1e400", "0e999999", "-0", "0", "inf", "-inf",
        "Infinity", "-INFINITY", "infinit", "nan", "-nan", "NaN(abc_1)", "nan(", "nan()", "5.", ".5", "+1",
        " 1", "1e", "1e+", "1e-x", "0x1p3", "1.5e-07", "00012", "-", ".", "", "e5", "1..2", "12abc",
        "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207"
        "09639523271389722418968148856862236052612592137939478516215962958434932051548612880484622063931168"
        "38496658706124040081486406618240553812302003810880620637946021244843020209155024034296117800449"
        "36",
        "0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001"};
    for (const std::string& t : texts) {
        double native = 1.25, web = 1.25;
        const auto a = std::from_chars(t.data(), t.data() + t.size(), native);
        const auto b = lumen_web_charconv::from_chars(t.data(), t.data() + t.size(), web);
        EXPECT_EQ(a.ec, b.ec) << t;
        EXPECT_EQ(a.ptr - t.data(), b.ptr - t.data()) << t;
        if (std::isnan(native)) {
            EXPECT_TRUE(std::isnan(web)) << t;
        } else {
            EXPECT_EQ(std::bit_cast<uint64_t>(native), std::bit_cast<uint64_t>(web)) << t;
        }
    }
}

}  // namespace
