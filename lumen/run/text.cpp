#include "run/text.h"

#include <charconv>
#include <cmath>

namespace lumen {

namespace {

// Decodes one UTF-8 sequence at text[pos]. Returns its code point and sets `length`, or
// returns -1 (length 1) for a byte that does not start a valid, shortest-form sequence.
int32_t decodeUtf8(std::string_view text, std::size_t pos, std::size_t& length) {
    length = 1;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(pos);
    if (lead < 0x80) return static_cast<int32_t>(lead);
    std::size_t need;
    uint32_t cp;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - pos <= need) return -1;
    for (std::size_t i = 1; i <= need; ++i) {
        const unsigned b = byte(pos + i);
        if ((b & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return -1;
    length = need + 1;
    return static_cast<int32_t>(cp);
}

void appendHexByte(std::string& out, unsigned b) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[(b >> 4) & 0xF];
    out += kHex[b & 0xF];
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
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

std::string utf16ToUtf8(const char16_t* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length;
        int32_t cp = decodeUtf8(text, pos, length);
        pos += length;
        if (cp < 0) cp = 0xFFFD;
        if (cp >= 0x10000) {
            const uint32_t v = static_cast<uint32_t>(cp) - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace lumen
