#include "run/script.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "os/os.h"
#include "run/text.h"

namespace lumen {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Splits off the next blank-separated token of `rest`.
std::string_view nextToken(std::string_view& rest) {
    rest = trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    const std::string_view token = rest.substr(0, end);
    rest.remove_prefix(end);
    return token;
}

std::optional<int64_t> parseFrame(std::string_view t) {
    if (t.empty() || t.front() < '0' || t.front() > '9') return std::nullopt;
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || ptr != t.data() + t.size() || value == INT64_MAX) return std::nullopt;
    return value;
}

std::optional<double> parseFloat(std::string_view t) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    // Out of range gives ERANGE: such a number is not one the program could have meant.
    if (t.empty() || ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
    return value;
}

std::optional<int> parseButton(std::string_view t) {
    if (t == "left") return 0;
    if (t == "right") return 1;
    return std::nullopt;
}

const char* buttonName(int b) { return b == 0 ? "left" : "right"; }

class Parser {
public:
    ScriptParse run(std::string_view text) {
        ScriptParse result;
        // A byte-order mark, as some editors write one before UTF-8 text, is not a character.
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        int lineNo = 0;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNo;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            std::optional<std::string> what = parseLine(line, lineNo, result.script);
            if (what) {
                result.error = ScriptError{lineNo, std::move(*what)};
                result.script = Script{};
                return result;
            }
        }
        finish(result.script);
        return result;
    }

private:
    std::optional<std::string> parseLine(std::string_view line, int lineNo, Script& script) {
        std::string_view rest = trim(line);
        if (rest.empty() || rest.front() == '#') return std::nullopt;
        const std::string_view frameText = nextToken(rest);
        const std::optional<int64_t> frame = parseFrame(frameText);
        if (!frame) return "bad number " + quoteShort(frameText);
        if (sawLine_ && *frame < lastFrame_)
            return "frames go back (" + std::to_string(*frame) + " after " +
                   std::to_string(lastFrame_) + ")";
        const std::string_view name = nextToken(rest);
        if (name.empty()) return std::string("missing command");

        ScriptCommand cmd;
        cmd.frame = *frame;
        cmd.line = lineNo;
        if (name == "seed") {
            if (*frame != 0 || sawLine_) return std::string("seed only on frame 0 before every other line");
            const std::string_view n = nextToken(rest);
            if (n.empty()) return std::string("missing argument");
            const std::optional<uint64_t> seed = parseUnsigned(n);
            if (!seed) return "bad number " + quoteShort(n);
            if (auto extra = extraArgument(rest)) return extra;
            script.seed = *seed;
            note(*frame);
            return std::nullopt;
        }
        if (name == "move") {
            cmd.op = ScriptOp::Move;
            const std::string_view xs = nextToken(rest);
            const std::string_view ys = nextToken(rest);
            if (ys.empty()) return std::string("missing argument");
            const std::optional<double> x = parseFloat(xs);
            if (!x) return "bad number " + quoteShort(xs);
            const std::optional<double> y = parseFloat(ys);
            if (!y) return "bad number " + quoteShort(ys);
            cmd.x = *x;
            cmd.y = *y;
        } else if (name == "press" || name == "release") {
            cmd.op = name == "press" ? ScriptOp::Press : ScriptOp::Release;
            const std::string_view b = nextToken(rest);
            if (b.empty()) return std::string("missing argument");
            const std::optional<int> button = parseButton(b);
            if (!button) return "unknown button " + quoteShort(b);
            cmd.button = *button;
        } else if (name == "quit") {
            cmd.op = ScriptOp::Quit;
        } else if (name == "crash") {
            cmd.op = ScriptOp::Crash;
        } else if (name == "overflow") {
            cmd.op = ScriptOp::Overflow;
        } else if (name == "fault") {
            cmd.op = ScriptOp::Fault;
            const std::string_view c = nextToken(rest);
            if (c.empty()) return std::string("missing argument");
            const std::optional<uint64_t> code = parseUnsigned(c);
            if (!code) return "bad number " + quoteShort(c);
            if (*code > UINT32_MAX) return "fault code out of range " + quoteShort(c);
            cmd.code = static_cast<uint32_t>(*code);
            const std::string_view message = trim(rest);
            if (!message.empty()) {
                if (cmd.code >= 0x80000000u)
                    return std::string("a message only goes with codes below 0x80000000");
                cmd.hasMessage = true;
                cmd.message.assign(message);
            }
            rest = {};
        } else {
            return "unknown command " + quoteShort(name);
        }
        if (auto extra = extraArgument(rest)) return extra;
        if (*frame == 0) return std::string("frame 0 is only for seed");
        if (cmd.op == ScriptOp::Press || cmd.op == ScriptOp::Release) {
            if (auto what = checkButton(cmd)) return what;
        }
        script.commands.push_back(std::move(cmd));
        note(*frame);
        return std::nullopt;
    }

    static std::optional<std::string> extraArgument(std::string_view rest) {
        const std::string_view extra = nextToken(rest);
        if (extra.empty()) return std::nullopt;
        return "extra argument " + quoteShort(extra);
    }

    // The button rules: no press and release of one button in one frame, no press while down.
    std::optional<std::string> checkButton(const ScriptCommand& cmd) {
        Button& b = buttons_[cmd.button];
        const std::string nameOf = buttonName(cmd.button);
        if (cmd.op == ScriptOp::Press) {
            if (b.releaseFrame == cmd.frame)
                return "press and release of " + nameOf + " in frame " + std::to_string(cmd.frame);
            if (b.down) return "press of " + nameOf + " while it is down";
            b.down = true;
            b.pressFrame = cmd.frame;
        } else {
            if (b.pressFrame == cmd.frame)
                return "press and release of " + nameOf + " in frame " + std::to_string(cmd.frame);
            b.down = false;
            b.releaseFrame = cmd.frame;
        }
        return std::nullopt;
    }

    void note(int64_t frame) {
        sawLine_ = true;
        lastFrame_ = frame;
    }

    void finish(Script& script) const {
        for (const ScriptCommand& cmd : script.commands) {
            if (cmd.op == ScriptOp::Quit) {
                script.quitFrame = cmd.frame;
                return;
            }
        }
        ScriptCommand quit;
        quit.op = ScriptOp::Quit;
        quit.frame = lastFrame_ + 1;  // lastFrame_ < INT64_MAX: parseFrame refuses INT64_MAX
        quit.line = 0;
        script.quitFrame = quit.frame;
        script.commands.push_back(quit);
    }

    struct Button {
        bool down = false;
        int64_t pressFrame = -1;
        int64_t releaseFrame = -1;
    };
    Button buttons_[2];
    bool sawLine_ = false;
    int64_t lastFrame_ = 0;
};

}  // namespace

std::optional<uint64_t> parseUnsigned(std::string_view t) {
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    }
    if (t.empty()) return std::nullopt;
    const char c = t.front();
    const bool digit = (c >= '0' && c <= '9') ||
                       (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return std::nullopt;
    uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value, base);
    if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
    return value;
}

ScriptParse parseScript(std::string_view text) { return Parser().run(text); }

std::string scriptErrorText(std::string_view file, const ScriptError& error) {
    std::string text = "Lumen: ";
    text.append(file);
    text += ':';
    text += std::to_string(error.line);
    text += ": ";
    text += error.what;
    return text;
}

bool readScriptFile(const std::string& path, std::string& text, std::string& error) {
    if (os::pathKind(path) == os::PathKind::Directory) {
        error = "it is a folder";
        return false;
    }
    std::FILE* in = os::openForReading(path, error);
    if (in == nullptr) return false;
    text.clear();
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, in);
        if (n > 0) {
            if (text.size() + n > kMaxScriptBytes) {
                error = "larger than " + std::to_string(kMaxScriptBytes >> 20) + " MiB, the most a script may hold";
                ok = false;
                break;
            }
            text.append(chunk, n);
        }
        if (n < sizeof chunk) {
            if (std::ferror(in)) {
                error = os::errorText(errno != 0 ? errno : EIO);
                ok = false;
            }
            break;
        }
    }
    std::fclose(in);
    if (!ok) text.clear();
    return ok;
}

}  // namespace lumen
