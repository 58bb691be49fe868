#include "run/input_source.h"

#include <cstring>
#include <utility>

#include "run/text.h"

namespace lumen {

void ScriptPlayer::load(Script script) {
    commands_ = std::move(script.commands);
    next_ = 0;
    quitFrame_ = script.quitFrame;
    seed_ = script.seed;
    playing_ = true;
}

const ScriptCommand* ScriptPlayer::play(int64_t frame, InputState& input) {
    while (next_ < commands_.size() && commands_[next_].frame <= frame) {
        const ScriptCommand& cmd = commands_[next_++];
        switch (cmd.op) {
            case ScriptOp::Move:
                input.x = cmd.x;
                input.y = cmd.y;
                break;
            case ScriptOp::Press: input.down[cmd.button] = true; break;
            case ScriptOp::Release: input.down[cmd.button] = false; break;
            case ScriptOp::Quit:
            case ScriptOp::Fault:
            case ScriptOp::Crash:
            case ScriptOp::Overflow: return &cmd;
        }
    }
    return nullptr;
}

bool InputRecorder::open(const std::string& path, const char* name, uint64_t seed) {
    if (!OutputWriter::open(path, name, seed)) return false;
    file_.line(std::string("0 seed ").append(std::to_string(seed)));
    return true;
}

void InputRecorder::record(int64_t frame, const InputState& before, const InputState& now) {
    const std::string n = std::to_string(frame);
    // Compared bit for bit: a NaN position (or -0 after 0) is a change too.
    const bool moved = frame == 1 || std::memcmp(&before.x, &now.x, sizeof(double)) != 0 ||
                       std::memcmp(&before.y, &now.y, sizeof(double)) != 0;
    if (moved) {
        std::string line = n;
        line.append(" move ").append(formatFloat(now.x)).append(" ").append(formatFloat(now.y));
        file_.line(line);
    }
    static const char* const kButtons[2] = {"left", "right"};
    for (int b = 0; b < 2; ++b) {
        if (before.down[b] != now.down[b]) {
            std::string line = n;
            line.append(now.down[b] ? " press " : " release ").append(kButtons[b]);
            file_.line(line);
        }
    }
}

void InputRecorder::quit(int64_t frame) { file_.line(std::to_string(frame).append(" quit")); }

}  // namespace lumen
