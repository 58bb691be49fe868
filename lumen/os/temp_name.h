// The names an output's temporaries take beside it, the same on every platform:
// ".NAME.PID-N.tmp", shortened so that it fits wherever NAME fits, and "NAME.PID-N.kept" for a
// complete temporary kept when it could not be put in NAME's place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumen::os {

// The longest name a folder entry may have: 255 bytes of UTF-8 (POSIX), which is never more
// than 255 UTF-16 units (Windows).
inline constexpr std::size_t kMaxNameBytes = 255;

// ".NAME.PID-N.tmp" for output NAME, process `pid` and attempt `n`; NAME is cut (at a UTF-8
// character's start) as far as needed to fit in kMaxNameBytes.
inline std::string tempName(std::string_view name, uint64_t pid, uint64_t n) {
    const std::string tail = "." + std::to_string(pid) + "-" + std::to_string(n) + ".tmp";
    std::size_t keep = name.size();
    if (1 + keep + tail.size() > kMaxNameBytes) {
        keep = kMaxNameBytes - 1 - tail.size();
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    }
    return "." + std::string(name.substr(0, keep)) + tail;
}

// Whether folder entry `entry` is a temporary of output `name` as tempName makes them (also a
// shortened one); `pid` gets the process that made it.
inline bool isTempOf(std::string_view entry, std::string_view name, uint64_t& pid) {
    constexpr std::string_view kEnd = ".tmp";
    if (entry.size() < 1 + kEnd.size() || entry[0] != '.' ||
        entry.substr(entry.size() - kEnd.size()) != kEnd)
        return false;
    const std::string_view body = entry.substr(1, entry.size() - 1 - kEnd.size());  // NAME.PID-N
    const std::size_t dot = body.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view numbers = body.substr(dot + 1), prefix = body.substr(0, dot);
    const std::size_t dash = numbers.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == numbers.size()) return false;
    pid = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const char c = numbers[i];
        if (i == dash) continue;
        if (c < '0' || c > '9' || (i < dash && pid > (UINT64_MAX - 9) / 10)) return false;
        if (i < dash) pid = pid * 10 + static_cast<uint64_t>(c - '0');
    }
    // A shortened name is cut at most 3 bytes short of the limit.
    const bool shortened = entry.size() + 3 >= kMaxNameBytes && prefix.size() < name.size() &&
                           name.substr(0, prefix.size()) == prefix;
    return prefix == name || shortened;
}

// The name a complete temporary is kept under: ".NAME.PID-N.tmp" becomes "NAME.PID-N.kept", as
// long and no temporary's name, so that no later run takes it for a stale one.
inline std::string keptName(std::string_view temp) {
    std::string_view body = temp.substr(temp.empty() || temp[0] != '.' ? 0 : 1);
    if (body.size() >= 4 && body.substr(body.size() - 4) == ".tmp") body.remove_suffix(4);
    return std::string(body) + ".kept";
}

}  // namespace lumen::os
