// One Lumen session: the state behind the entry points. exports.cpp keeps one per process,
// made on the first call of any entry point (AllocMem comes before Init); tests make their own.
//
// Every method expects the caller's FpGuard to be in place. Faults leave as lumen::Fault; each
// is traced ("raise CODE ...") before it is thrown.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "backends/backend.h"
#include "run/fault_plan.h"
#include "run/heap.h"
#include "run/input.h"
#include "run/input_source.h"
#include "outputs/output_file.h"
#include "run/pacer.h"
#include "run/raiser.h"
#include "run/rng.h"
#include "run/run_outputs.h"
#include "run/settings.h"
#include "run/trace.h"
#include "lumen/lumen.h"

namespace lumen {

class Canvas;

class Session {
public:
    // Checks the settings' files (sameFileError), opens the outputs opened with the Session (the
    // trace), then, unless --help or --version was asked for, checks how the run was asked for
    // (Settings::problems, wrongFormatError) and parses the settings (parseSettings: the script
    // read). Problems are raised by Init (fault 1002). `window` is the window backend, or null
    // where there is none.
    explicit Session(const Settings& settings, const Backend* window = nullptr);
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
    const OutputFile& traceOutput() { return outputs_.trace.output(); }

private:
    enum class State { Fresh, Running, Failed, Freed };

    // When an operation's call line ("Rnd 1 6") is traced: before its checks, or only when one
    // of them raises (the operation traces the line later, with its result).
    enum class CallLine { First, WithResult };
    // What the shared prologue of an operation checks.
    struct Operation {
        const char* name;                    // as messages name it: "Mouse"
        FaultOp fault;                       // where LUMEN_FAULT may plant; None: nowhere
        CallLine line;
        bool needsRun = true;                // raises outside Init .. Free
        FaultOp alsoFault = FaultOp::None;   // a second place a fault may be planted
    };
    // The prologue of every operation but Init and FreeMem: the call line (made by `line()`,
    // only when traced), the check that the run is on, the planted fault. Raises when due.
    template <typename Line>
    void enter(const Operation& op, const Line& line);
    // MouseX, MouseY: the prologue, then `value` traced and returned.
    double coordinate(const Operation& op, double value);
    // Traces the call line and raises `code`: an operation refusing its arguments.
    template <typename Line>
    [[noreturn]] void refuse(const Line& line, uint32_t code, std::string_view message);

    // Traces "raise CODE "message"" and throws the fault with the message as a new String; the
    // fault's address is the caller's.
    [[noreturn]] [[gnu::noinline]] void raise(uint32_t code, std::string_view message);
    // Traces "raise CODE null" and throws the fault with a null argument.
    [[noreturn]] [[gnu::noinline]] void raiseNull(uint32_t code);
    // Raises the fault of calling `name` outside Init .. Free (the call's line already traced).
    [[noreturn]] void notRunning(const char* name);
    // Raises the fault that LUMEN_FAULT planted (the call's line already traced).
    [[noreturn]] [[gnu::noinline]] void raisePlanted();
    void trace(std::string_view line) { outputs_.trace.line(line); }
    bool tracing() const { return outputs_.trace.enabled(); }

    // Presents the canvas as drawn since the last Act (a window gets what changed), hands it to
    // the outputs that take frames, clears it.
    void presentFrame();
    // Opens the outputs opened at `when`; raises 1002 when one cannot be.
    void openOutputs(OpenAt when);
    // Ends the run in order: outputs finished, then fault 0, or 1006 if an output failed; with
    // `lostDisplay` (the window backend's message), kDisplayLost with that message.
    [[noreturn]] void endRun(const char* lostDisplay = nullptr);
    // At the end of a window run with a recording put in place: one line naming it and the
    // command that replays it (once).
    void noteRecording();
    // "Lumen: cannot write WHAT PATH: REASON" of the first failed output not yet raised, or "".
    std::string unreportedOutputFailure();
    // Carries out a script command that ends the frame: quit, fault, crash, overflow.
    [[noreturn]] [[gnu::noinline]] void endScript(const ScriptCommand& cmd);

    RunSettings settings_;
    const Backend* window_;
    const Backend* backend_ = nullptr;
    State state_ = State::Fresh;
    RunOutputs outputs_;             // the trace, picture, movie and recording
    Heap heap_;
    Raiser raiser_{heap_, outputs_.trace};
    Rng rng_;
    MouseSampler mouse_;
    InputState input_;

    std::string setupError_;         // the first problem with the settings, raised by Init
    FaultPlan planted_;              // LUMEN_FAULT
    ScriptPlayer script_;            // headless input: LUMEN_SCRIPT or the demo
    FramePacer pacer_;
    uint64_t seed_ = 0;
    bool headless_ = true;
    int64_t frame_ = 0;
    bool outputFailureReported_ = false;
    bool help_ = false;              // --help: Init shows the usage and ends the run
    bool version_ = false;           // --version: the same with the version
    bool recordingNoted_ = false;
    bool pictureDue_ = false;        // F12 was pressed: the next frame presented is saved
    std::string title_;              // the Init record's, UTF-8
    std::unique_ptr<Canvas> canvas_;
};

}  // namespace lumen
