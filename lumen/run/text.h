// Text helpers of the trace and the messages: number formatting, quoting; the UTF-8 <-> UTF-16
// conversion is the shared lumen/utf.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lumen/utf.h"

namespace lumen {

// Shortest text that reads back to the same double ("300", "0.5", "1e+300"), "-0" for negative
// zero, "inf", "-inf", and "nan" for every NaN.
std::string formatFloat(double value);

// `text` in double quotes, escaped by appendVisible (lumen/utf.h): \" and \\, control characters
// as \n, \r, \t or \xNN, bytes that are not valid UTF-8 as \xNN; one line of valid UTF-8.
std::string quote(std::string_view text);

// As quote(), but at most `limit` bytes of `text`, with "..." after the closing quote when cut.
std::string quoteShort(std::string_view text, std::size_t limit = 40);

// Units of a NUL-terminated UTF-16 text (the NUL not counted).
std::size_t utf16Length(const char16_t* units);

}  // namespace lumen
