#include "run/trace.h"

#include <cinttypes>
#include <chrono>
#include <cstdio>

#include "run/text.h"

namespace lumen {

// Appended rather than prefixed ("#" + s): GCC 12 at -O3 reports a false -Wrestrict in that insert.
std::string blockName(uint64_t id) { return std::string("#").append(std::to_string(id)); }

std::string tagText(const char16_t* tag) {
    if (tag == nullptr) return "null";
    return quote(utf16ToUtf8(tag, utf16Length(tag)));
}

std::string initLine(const InitRecord& record, std::string& title, bool& titleOk) {
    std::string line = "Init title=";
    const String* t = record.title;
    titleOk = t == nullptr || (t->length >= 0 && t->length <= (int64_t{1} << 30));
    if (t == nullptr) {
        line += "null";
    } else if (titleOk) {
        title = utf16ToUtf8(t->units, static_cast<std::size_t>(t->length));
        line += quote(title);
    } else {
        line += "bad";
    }
    char fields[160];
    std::snprintf(fields, sizeof fields, " build=0x%016" PRIX64 " one=%" PRId64
                  " instance=%s icon=%s faultcell=%s",
                  record.buildId, record.one, record.instance ? "set" : "null",
                  record.icon ? "set" : "null", record.faultCell ? "set" : "null");
    return line.append(fields);
}

std::string monotonicTime() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count();
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                  static_cast<long long>(ns % 1000000000));
    return text;
}

std::string actLine(int64_t n, bool withTime) {
    std::string line = "Act " + std::to_string(n);
    if (withTime) line.append(" t=").append(monotonicTime());
    return line;
}

}  // namespace lumen
