// UTF-8 and UTF-16, one conversion for the program's start-up and for Lumen: the program's
// Strings are UTF-16, paths, the trace and diagnostics UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumen {

constexpr uint32_t kReplacementCharacter = 0xFFFD;  // what stands for text that cannot be read

// Decodes the UTF-8 sequence at text[pos] (pos < text.size()): its code point, with `length`
// its bytes (1 to 4); or -1, with length 1, for a byte that does not start a valid,
// shortest-form sequence of a code point that is not a surrogate.
inline int32_t decodeUtf8(std::string_view text, std::size_t pos, std::size_t& length) {
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

// Appends code point `cp` (0 to 0x10FFFF) to `out` as UTF-8, 1 to 4 bytes.
inline void appendCodePoint(std::string& out, uint32_t cp) {
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

// Appends UTF-16 `units` to `out` as UTF-8: a surrogate pair becomes its one code point, an
// unpaired surrogate U+FFFD.
inline void appendUtf8(std::string& out, std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = kReplacementCharacter;
        }
        appendCodePoint(out, c);
    }
}

// `count` UTF-16 units to UTF-8, as appendUtf8.
inline std::string utf16ToUtf8(const char16_t* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    appendUtf8(out, std::u16string_view(units, count));
    return out;
}

// UTF-8 to UTF-16; every byte that does not start a valid sequence (decodeUtf8) becomes U+FFFD.
inline std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length;
        int32_t cp = decodeUtf8(text, pos, length);
        pos += length;
        if (cp < 0) cp = static_cast<int32_t>(kReplacementCharacter);
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

// Appends `text` so that it shows as one line of valid UTF-8 on any terminal: control characters
// (C0, DEL and C1) become \n, \r, \t or \xNN (each byte of a C1 character's UTF-8), and bytes
// that are not valid UTF-8 become \xNN; with `quoted`, " and \ become \" and \\ as well.
inline void appendVisible(std::string& out, std::string_view text, bool quoted) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto hex = [&](unsigned b) {
        out += "\\x";
        out += kHex[(b >> 4) & 0xF];
        out += kHex[b & 0xF];
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        std::size_t length = 1;
        const int32_t cp = c < 0x80 ? c : decodeUtf8(text, pos, length);
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else if (cp < 0 || cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
            for (std::size_t i = 0; i < length; ++i) hex(static_cast<unsigned char>(text[pos + i]));
        } else {
            out.append(text.substr(pos, length));
        }
        pos += length;
    }
}

}  // namespace lumen
