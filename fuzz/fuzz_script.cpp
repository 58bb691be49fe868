// Fuzz target (2): Lumen's script parser. Any bytes give either a valid script or one error
// "Lumen: FILE:LINE: WHAT" (LINE a line of the text, WHAT one of the contract's forms, the
// whole a single line of valid UTF-8), never a crash, hang or leak. A valid script keeps the
// contract's shape (frames from 1, never decreasing, ending in quit; buttons left or right;
// messages only below 0x80000000), and written back out it parses to the same commands.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "run/script.h"
#include "run/text.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_script: %s: %s\n", what, detail.c_str());
    std::abort();
}

bool validUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool knownWhat(std::string_view what) {
    for (const char* form : {"bad number \"", "unknown command \"", "unknown button \"", "extra argument \"",
                             "frames go back (", "press and release of ", "press of ",
                             "fault code out of range \""}) {
        if (startsWith(what, form)) return true;
    }
    for (const char* whole : {"missing command", "missing argument", "seed only on frame 0 before every other line",
                              "frame 0 is only for seed", "a message only goes with codes below 0x80000000"}) {
        if (what == whole) return true;
    }
    return false;
}

std::string write(const lumen::Script& s) {
    std::string out;
    if (s.seed) out += "0 seed " + std::to_string(*s.seed) + "\n";
    static const char* const kButton[2] = {"left", "right"};
    for (const lumen::ScriptCommand& c : s.commands) {
        if (c.line == 0) continue;  // the quit added after the last line
        out += std::to_string(c.frame);
        switch (c.op) {
            case lumen::ScriptOp::Move: out += " move " + lumen::formatFloat(c.x) + " " + lumen::formatFloat(c.y); break;
            case lumen::ScriptOp::Press: out += std::string(" press ") + kButton[c.button]; break;
            case lumen::ScriptOp::Release: out += std::string(" release ") + kButton[c.button]; break;
            case lumen::ScriptOp::Quit: out += " quit"; break;
            case lumen::ScriptOp::Crash: out += " crash"; break;
            case lumen::ScriptOp::Overflow: out += " overflow"; break;
            case lumen::ScriptOp::Fault:
                out += " fault " + std::to_string(c.code);
                if (c.hasMessage) out += " " + c.message;
                break;
        }
        out += "\r\n";  // CR LF: one CR goes with the line end, so a message's own last CR stays
    }
    return out;
}

bool sameCommand(const lumen::ScriptCommand& a, const lumen::ScriptCommand& b) {
    const bool xy = std::memcmp(&a.x, &b.x, sizeof a.x) == 0 && std::memcmp(&a.y, &b.y, sizeof a.y) == 0;
    const bool nanXY = std::isnan(a.x) == std::isnan(b.x) && std::isnan(a.y) == std::isnan(b.y) &&
                       (std::isnan(a.x) || std::memcmp(&a.x, &b.x, sizeof a.x) == 0) &&
                       (std::isnan(a.y) || std::memcmp(&a.y, &b.y, sizeof a.y) == 0);
    return a.frame == b.frame && a.op == b.op && a.button == b.button && (xy || nanXY) && a.code == b.code &&
           a.hasMessage == b.hasMessage && a.message == b.message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const lumen::ScriptParse parse = lumen::parseScript(text);
    int lines = 1;
    for (const char c : text) lines += c == '\n';
    if (!parse.ok()) {
        const lumen::ScriptError& e = *parse.error;
        const std::string line = lumen::scriptErrorText("runs/fuzz.script", e);
        const std::string head = "Lumen: runs/fuzz.script:" + std::to_string(e.line) + ": ";
        if (!startsWith(line, head)) fail("error text does not start with FILE:LINE", line);
        if (e.line < 1 || e.line > lines) fail("error line outside the text", line);
        if (!knownWhat(line.substr(head.size()))) fail("unknown kind of error", line);
        if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos || !validUtf8(line))
            fail("error text is not one line of UTF-8", line);
        return 0;
    }
    const lumen::Script& s = parse.script;
    if (s.commands.empty()) fail("no commands", "");
    int64_t frame = 1;
    int line = 0;
    bool quitSeen = false;
    for (const lumen::ScriptCommand& c : s.commands) {
        if (c.frame < frame) fail("frames go back or start below 1", std::to_string(c.frame));
        frame = c.frame;
        if (c.line != 0 && c.line <= line) fail("lines out of order", std::to_string(c.line));
        if (c.line != 0) line = c.line;
        if (c.line > lines) fail("command on a line past the text", std::to_string(c.line));
        if ((c.op == lumen::ScriptOp::Press || c.op == lumen::ScriptOp::Release) && c.button != 0 && c.button != 1)
            fail("button neither left nor right", std::to_string(c.button));
        if (c.op == lumen::ScriptOp::Fault && c.hasMessage && c.code >= 0x80000000u) fail("message with a processor code", "");
        if (c.op == lumen::ScriptOp::Quit && !quitSeen) {
            quitSeen = true;
            if (s.quitFrame != c.frame) fail("quitFrame is not the first quit's frame", std::to_string(s.quitFrame));
        }
    }
    // A quit may be followed by later lines, which the run never reaches.
    if (!quitSeen) fail("script has no quit", "");
    // Written back out, the script reads the same.
    const std::string again = write(s);
    const lumen::ScriptParse reparse = lumen::parseScript(again);
    if (!reparse.ok()) fail("written-out script does not parse", lumen::scriptErrorText("again", *reparse.error) + "\n" + again);
    const lumen::Script& t = reparse.script;
    if (t.seed != s.seed || t.quitFrame != s.quitFrame) fail("seed or quit frame changed", again);
    size_t j = 0;
    for (const lumen::ScriptCommand& c : s.commands) {
        if (c.line == 0) continue;
        while (j < t.commands.size() && t.commands[j].line == 0) ++j;
        if (j >= t.commands.size() || !sameCommand(c, t.commands[j])) fail("command changed on the way back", again);
        ++j;
    }
    return 0;
}
