// Where a run's input comes from besides the window: the script player (LUMEN_SCRIPT or the
// built-in demo), and the recorder that writes a windowed run's input as a script
// (LUMEN_RECORD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/input.h"
#include "outputs/output_file.h"
#include "run/script.h"

namespace lumen {

class ScriptPlayer {
public:
    // Plays `script` from its first command.
    void load(Script script);
    bool playing() const { return playing_; }  // a script is loaded
    const std::optional<uint64_t>& seed() const { return seed_; }  // the script's seed line

    // Applies to `input` the moves, presses and releases due by frame `frame` (1-based), in
    // order, up to the first command of another kind (quit, fault, crash, overflow), which it
    // returns, consumed; null when none is due (always, when no script is loaded).
    const ScriptCommand* play(int64_t frame, InputState& input);
    // True from the script's quit frame on; never when no script is loaded.
    bool quitDue(int64_t frame) const { return playing_ && frame >= quitFrame_; }

private:
    std::vector<ScriptCommand> commands_;
    std::size_t next_ = 0;  // the first command not yet played
    int64_t quitFrame_ = INT64_MAX;
    std::optional<uint64_t> seed_;
    bool playing_ = false;
};

// The recording as an output: opened in Init, put in place when the run ends or at Free.
class InputRecorder : public OutputWriter {
public:
    // Opens `path` and writes the seed line "0 seed SEED".
    bool open(const std::string& path, const char* name, uint64_t seed) override;
    bool recording() const { return file_.isOpen(); }
    // The changes from `before` to `now` in frame `frame` as script lines: the position
    // (always in frame 1), then each button pressed or released.
    void record(int64_t frame, const InputState& before, const InputState& now);
    // The quit line of frame `frame`.
    void quit(int64_t frame);
    // Commits the recording (its last line written) when one is open.
    void endRun(Canvas*) override {
        if (file_.isOpen()) file_.commit();
    }
    void free() override { endRun(nullptr); }
};

}  // namespace lumen
