// The trace's formatting of numbers and texts, and the UTF-16 conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "run/text.h"

using lumen::formatFloat;
using lumen::quote;

TEST(FormatFloat, ShortestRoundTrip) {
    EXPECT_EQ(formatFloat(300.0), "300");
    EXPECT_EQ(formatFloat(0.5), "0.5");
    EXPECT_EQ(formatFloat(909.0), "909");
    EXPECT_EQ(formatFloat(0.1), "0.1");
    EXPECT_EQ(formatFloat(0.8), "0.8");
    EXPECT_EQ(formatFloat(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(formatFloat(-7.25), "-7.25");
    EXPECT_EQ(formatFloat(1e300), "1e+300");
    EXPECT_EQ(formatFloat(5e-324), "5e-324");
    EXPECT_EQ(formatFloat(123456789012.0), "123456789012");
    // Every printed value reads back to the same double.
    for (const double v : {0.1 + 0.2, 100.0 / 150.0, 817.0000000000001, 2.5e-10, 1.7976931348623157e308}) {
        EXPECT_EQ(std::stod(formatFloat(v)), v) << formatFloat(v);
    }
}

TEST(FormatFloat, SpecialValues) {
    EXPECT_EQ(formatFloat(0.0), "0");
    EXPECT_EQ(formatFloat(-0.0), "-0");
    EXPECT_EQ(formatFloat(INFINITY), "inf");
    EXPECT_EQ(formatFloat(-INFINITY), "-inf");
    EXPECT_EQ(formatFloat(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(formatFloat(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(Quote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quote("Stackrise"), "\"Stackrise\"");
    EXPECT_EQ(quote(""), "\"\"");
    EXPECT_EQ(quote("say \"hi\""), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(quote("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(quote("two\nlines\r\tx"), "\"two\\nlines\\r\\tx\"");
    EXPECT_EQ(quote(std::string("\x01\x7F", 2)), "\"\\x01\\x7F\"");
    EXPECT_EQ(quote(std::string("nul\0", 4)), "\"nul\\x00\"");
}

TEST(Quote, KeepsValidUtf8AndEscapesTheRest) {
    EXPECT_EQ(quote("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x97\xBC"),
              "\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x97\xBC\"");
    EXPECT_EQ(quote("\xC3"), "\"\\xC3\"");                   // cut sequence
    EXPECT_EQ(quote("\xC0\xAF"), "\"\\xC0\\xAF\"");          // overlong form
    EXPECT_EQ(quote("\xED\xA0\x80"), "\"\\xED\\xA0\\x80\""); // a surrogate in UTF-8
    EXPECT_EQ(quote("\xE2\x82x"), "\"\\xE2\\x82x\"");
}

// C1 controls (U+0080 to U+009F, which some terminals obey) are escaped byte by byte; the
// unquoted form, for diagnostics, leaves quotes and backslashes alone.
TEST(Quote, C1ControlsAreEscapedAndTheUnquotedFormKeepsQuotes) {
    EXPECT_EQ(quote("a\xC2\x9B" "1m\xC2\xA0"), "\"a\\xC2\\x9B" "1m\xC2\xA0\"");  // CSI escaped, no-break space kept
    std::string visible;
    lumen::appendVisible(visible, "say \"a\\b\"\x1B[2J\tend\xFF", false);
    EXPECT_EQ(visible, "say \"a\\b\"\\x1B[2J\\tend\\xFF");
}

TEST(Quote, ShortFormCutsLongTexts) {
    EXPECT_EQ(lumen::quoteShort("abc", 3), "\"abc\"");
    EXPECT_EQ(lumen::quoteShort("abcd", 3), "\"abc\"...");
    // Never inside a UTF-8 sequence: "\xC3\xA9" is one character.
    EXPECT_EQ(lumen::quoteShort("ab\xC3\xA9z", 3), "\"ab\"...");
}

TEST(Utf16, ToUtf8) {
    const std::u16string title = u"Stackrise";
    EXPECT_EQ(lumen::utf16ToUtf8(title.data(), title.size()), "Stackrise");
    const std::u16string mixed = u"\u00fc\u20ac\U0001F5FC";
    EXPECT_EQ(lumen::utf16ToUtf8(mixed.data(), mixed.size()), "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x97\xBC");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(lumen::utf16ToUtf8(lone, 4), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(lumen::utf16Length(u"skip"), 4u);
    EXPECT_EQ(lumen::utf16Length(u""), 0u);
}

TEST(Utf16, FromUtf8) {
    EXPECT_EQ(lumen::utf8ToUtf16("Lumen: x"), u"Lumen: x");
    EXPECT_EQ(lumen::utf8ToUtf16("\xF0\x9F\x97\xBC"), u"\U0001F5FC");
    EXPECT_EQ(lumen::utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    const std::string back = "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x97\xBC";
    const std::u16string units = lumen::utf8ToUtf16(back);
    EXPECT_EQ(lumen::utf16ToUtf8(units.data(), units.size()), back);
}
