// The input script (LUMEN_SCRIPT): one command a line, "FRAME COMMAND [ARGUMENTS]".
//
//   0 seed N                  seed of the generator (frame 0, before every other line)
//   F move X Y                pointer at (X, Y) canvas px from frame F on
//   F press left|right        the button goes down in frame F
//   F release left|right      the button is up from frame F on
//   F quit                    the F-th Act ends the run (fault 0, null message)
//   F fault CODE [MESSAGE]    the F-th Act raises CODE (decimal or 0x hex) with MESSAGE
//   F crash                   the F-th Act makes an invalid memory access
//   F overflow                the F-th Act recurses until the stack runs out
//
// Blank lines and lines whose first non-blank character is '#' are ignored, and so is a UTF-8
// byte-order mark at the start. Frames never decrease. The parser is a pure function of the text: any bytes give a script or an error.
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumen {

enum class ScriptOp { Move, Press, Release, Quit, Fault, Crash, Overflow };

struct ScriptCommand {
    int64_t frame = 0;       // Act number from whose return the command holds, >= 1
    int line = 0;            // line in the script, 1-based; 0 for the quit added at the end
    ScriptOp op = ScriptOp::Quit;
    int button = 0;          // Press, Release: 0 left, 1 right
    double x = 0.0;          // Move: canvas px, any double
    double y = 0.0;
    uint32_t code = 0;       // Fault
    bool hasMessage = false; // Fault: MESSAGE given
    std::string message;     // Fault: the rest of the line, blanks at both ends trimmed
};

struct Script {
    std::optional<uint64_t> seed;
    std::vector<ScriptCommand> commands;  // in line order, frames non-decreasing; holds a quit
    // The frame of the first quit: the one written, or else one after the last line's frame.
    int64_t quitFrame = 1;
};

struct ScriptError {
    int line = 0;          // 1-based
    std::string what;      // e.g. `unknown command "jump"`
};

struct ScriptParse {
    Script script;                     // valid only without error
    std::optional<ScriptError> error;  // the first error
    bool ok() const { return !error.has_value(); }
};

// Parses a whole script.
ScriptParse parseScript(std::string_view text);

// "Lumen: FILE:LINE: WHAT", the script error as printed and raised.
std::string scriptErrorText(std::string_view file, const ScriptError& error);

// The largest script Lumen reads, bytes; a longer one (or an endless source) is refused.
inline constexpr std::size_t kMaxScriptBytes = std::size_t{64} << 20;

// Reads the script file `path` whole into `text`: at most kMaxScriptBytes, a regular file or a
// stream (FIFO, device), never a folder. False with the reason in words in `error`.
bool readScriptFile(const std::string& path, std::string& text, std::string& error);

// Numbers of the script and the environment: unsigned decimal, or hex after 0x / 0X.
std::optional<uint64_t> parseUnsigned(std::string_view text);

}  // namespace lumen
