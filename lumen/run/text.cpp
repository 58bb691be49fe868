#include "run/text.h"

#include <charconv>
#include <cmath>

namespace lumen {

namespace {

void appendHexByte(std::string& out, unsigned b) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[(b >> 4) & 0xF];
    out += kHex[b & 0xF];
}

void appendEscaped(std::string& out, std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++pos;
        } else if (c == '\n') {
            out += "\\n", ++pos;
        } else if (c == '\r') {
            out += "\\r", ++pos;
        } else if (c == '\t') {
            out += "\\t", ++pos;
        } else if (c < 0x20 || c == 0x7F) {
            appendHexByte(out, c), ++pos;
        } else if (c < 0x80) {
            out += static_cast<char>(c), ++pos;
        } else {
            std::size_t length;
            if (decodeUtf8(text, pos, length) < 0) {
                appendHexByte(out, c);
                ++pos;
            } else {
                out.append(text.substr(pos, length));
                pos += length;
            }
        }
    }
}

}  // namespace

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
    appendEscaped(out, text);
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
