#include "run/text.h"

#include <charconv>
#include <cmath>

namespace lumen {

std::string formatFloat(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    appendVisible(out, text, true);
    out += '"';
    return out;
}

std::string quoteShort(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return quote(text);
    // Cut before a continuation byte rather than inside a sequence.
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return quote(text.substr(0, cut)) + "...";
}

std::size_t utf16Length(const char16_t* units) {
    std::size_t n = 0;
    while (units[n] != 0) ++n;
    return n;
}

}  // namespace lumen
