// One Lumen session: the state behind the entry points. exports.cpp keeps one per process,
// made on the first call of any entry point (AllocMem comes before Init); tests make their own.
//
// Every method expects the caller's FpGuard to be in place. Faults leave as lumen::Fault; each
// is traced ("raise CODE ...") before it is thrown.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "core/fault_plan.h"
#include "core/heap.h"
#include "core/input.h"
#include "core/output.h"
#include "core/rng.h"
#include "core/script.h"
#include "core/settings.h"
#include "core/trace.h"
#include "lumen/lumen.h"

namespace lumen {

class Canvas;
class GifMovie;

class Session {
public:
    // Reads the settings now: checks that no output names an input or another output, opens
    // the trace, reads and parses the script, checks LUMEN_SEED and LUMEN_FPS. Problems are
    // raised by Init (fault 1002). `window` is the window backend, or null where there is none.
    explicit Session(Settings settings, const Backend* window = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The operations, with the calling forms of lumen.h: each serves the name whose
    // LUMEN_OPERATIONS entry names it.
    void init(const InitRecord* record);
    void free();
    void act();
    void* allocMem(int64_t bytes, const char16_t* tag);  // bytes >= 0; tag NUL-ended or null
    void freeMem(void* block);                           // a block of allocMem, or null
    int64_t mouse(int64_t button);                       // 0 up, 1 pressed this frame, 2.. held
    double mouseX();                                     // canvas px
    double mouseY();                                     // canvas px
    int64_t rnd(int64_t lo, int64_t hi);                 // uniform in [lo, hi]
    double rndF();                                       // uniform in [0, 1)
    void drawRect(double x, double y, double w, double h, double r, double g, double b,
                  double a);
    // Any of the names Lumen does not serve: traces NAME, raises 1001.
    [[noreturn]] void unsupported(const char* name);
    // Raises `code` with `message` for a failure inside Lumen that is not a fault of its own
    // (out of memory in Lumen's own work, another exception).
    [[noreturn]] void raiseInternal(uint32_t code, const std::string& message) { raise(code, message); }

    // Observers, for tests.
    uint64_t liveBlocks() const { return heap_.liveBlocks(); }
    int64_t frame() const { return frame_; }      // Acts served so far
    uint64_t seed() const { return seed_; }       // valid after Init
    bool headless() const { return headless_; }   // valid after Init
    Heap& heap() { return heap_; }
    const Canvas* canvas() const { return canvas_.get(); }
    const OutputFile& traceOutput() { return trace_.output(); }

private:
    enum class State { Fresh, Running, Failed, Freed };

    // Traces "raise CODE "message"" and throws the fault with the message as a new String.
    [[noreturn]] [[gnu::noinline]] void raise(uint32_t code, std::string_view message);
    // Traces "raise CODE null" and throws the fault with a null argument.
    [[noreturn]] [[gnu::noinline]] void raiseNull(uint32_t code);
    [[noreturn]] void throwFault(uint32_t code, uint64_t argument, uint64_t address);
    // Raises the fault of calling `name` outside Init .. Free (the call's line already traced).
    [[noreturn]] void notRunning(const char* name);
    // Raises the fault that LUMEN_FAULT planted (the call's line already traced).
    [[noreturn]] void raisePlanted();
    void setupError(std::string message);
    void trace(std::string_view line) { trace_.line(line); }

    // Presents the canvas as drawn since the last Act, hands it to capture, clears it.
    void presentFrame();
    // Sleeps until the next frame is due (when paced).
    void pace();
    // Writes the capture and finishes the movie, once, when the run ends.
    void finishCapture();
    // Commits the recording (its last line written).
    void finishRecording();
    // Ends the run in order: outputs finished, then fault 0, or 1006 if an output failed.
    [[noreturn]] void endRun();
    // "Lumen: cannot write WHAT PATH: REASON" of the first failed output not yet raised, or "".
    std::string unreportedOutputFailure();
    // The script's commands of frame `n`; raises for quit, fault, crash.
    void applyScript(int64_t n);
    // LUMEN_RECORD: the changes of this frame's window input as script lines.
    void recordInput(int64_t n, const InputState& before);
    void recordLine(const std::string& line);

    Settings settings_;
    const Backend* window_;
    const Backend* backend_ = nullptr;
    State state_ = State::Fresh;
    Trace trace_;
    Heap heap_;
    Rng rng_;
    MouseSampler mouse_;
    InputState input_;

    std::string setupError_;         // the first problem with the settings, raised by Init
    std::string scriptName_;         // the script's file name in error messages
    std::vector<ScriptCommand> commands_;
    std::size_t nextCommand_ = 0;
    int64_t quitFrame_ = INT64_MAX;
    bool scripted_ = false;          // input comes from a script (headless)
    std::optional<uint64_t> scriptSeed_;
    std::optional<uint64_t> envSeed_;
    FaultPlan planted_;              // LUMEN_FAULT
    double fps_ = 0.0;               // frames per second; 0 unpaced
    uint64_t seed_ = 0;
    bool headless_ = true;
    int64_t frame_ = 0;
    std::chrono::steady_clock::time_point nextFrameAt_{};

    OutputFile record_;              // LUMEN_RECORD of a windowed run
    OutputFile capture_;             // LUMEN_CAPTURE
    OutputFile movieFile_;           // LUMEN_MOVIE
    bool outputFailureReported_ = false;

    std::unique_ptr<Canvas> canvas_;
    std::unique_ptr<GifMovie> movie_;
    std::vector<uint32_t> lastFrame_;  // the last presented frame, kept when capturing
    bool presentedAny_ = false;
    bool captureDone_ = false;
};

}  // namespace lumen
