#include "run/session.h"

#include "pixels/canvas.h"
#include "run/command_line.h"
#include "run/demo_script.h"
#include "run/snapshot.h"
#include "os/os.h"
#include "run/text.h"

namespace lumen {

Session::Session(const Settings& settings, const Backend* window) : window_(window) {
    // --help and --version play nothing and open nothing but the trace.
    help_ = settings.help;
    version_ = settings.version;
    // Nothing is read or opened when an output names an input or another output: it would
    // destroy it.
    setupError_ = sameFileError(settings);
    if (!setupError_.empty()) return;
    settings_.given = settings;
    setupError_ = outputs_.open(OpenAt::Session, settings, 0);
    if (help_ || version_ || !setupError_.empty()) return;
    // A run asked for wrongly (an unknown option or variable, a picture named as a JPEG) reads
    // and opens nothing more.
    setupError_ = settings.problems.empty() ? wrongFormatError(settings) : settings.problems.front();
    if (!setupError_.empty()) return;
    settings_ = parseSettings(settings);
    if (!settings_.errors.empty()) setupError_ = settings_.errors.front();
    planted_ = std::move(settings_.fault);
    if (settings_.fps) pacer_.setRate(*settings_.fps);
    if (settings_.script) script_.load(std::move(*settings_.script));
}

Session::~Session() {
    // The library is being unloaded: the trace is kept (FreeMem may have followed Free), every
    // other output not committed by now is incomplete and dropped.
    outputs_.unload();
    os::unwatchStopRequests();
}

template <typename Line>
void Session::enter(const Operation& op, const Line& line) {
    const bool running = !op.needsRun || state_ == State::Running;
    const bool planted = running && ((op.fault != FaultOp::None && planted_.due(op.fault)) ||
                                     (op.alsoFault != FaultOp::None && planted_.due(op.alsoFault)));
    if ((op.line == CallLine::First || !running || planted) && tracing()) trace(line());
    if (!running) notRunning(op.name);
    if (planted) raisePlanted();
}

template <typename Line>
void Session::refuse(const Line& line, uint32_t code, std::string_view message) {
    if (tracing()) trace(line());
    raise(code, message);
}

void Session::raise(uint32_t code, std::string_view message) {
    raiser_.raise(code, message, reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1);
}

void Session::raiseNull(uint32_t code) {
    raiser_.raiseNull(code, reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1);
}

void Session::raisePlanted() {
    raiser_.raisePlanted(planted_, reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1);
}

void Session::notRunning(const char* name) {
    const char* when = state_ == State::Fresh    ? " before Init"
                       : state_ == State::Failed ? " after a failed Init"
                       : state_ == State::Freed  ? " after Free"
                                                 : " cannot run now";
    raise(kBadArgument, std::string("Lumen: ").append(name).append(when));
}

void Session::init(const InitRecord* record) {
    if (record == nullptr) {
        trace("Init null");
        raise(kBadArgument, "Lumen: Init got a null record");
    }
    std::string title;
    bool titleOk = true;
    trace(initLine(*record, title, titleOk));
    if (state_ == State::Freed) raise(kBadArgument, "Lumen: Init after Free");
    if (state_ != State::Fresh) raise(kBadArgument, "Lumen: Init called twice");
    state_ = State::Failed;  // until everything below has worked
    if (help_ || version_) {
        os::printOut(help_ ? usageText(title) : versionText(title, record->buildId));
        raiseNull(kEndOfRun);
    }
    if (!setupError_.empty()) raise(kBadSetting, setupError_);
    if (planted_.due(FaultOp::Init)) raisePlanted();
    if (!titleOk) raise(kBadArgument, "Lumen: Init: the title's length is out of range");
    // The icon reaches the window backend as it came, typed in its platform's form.
    const WindowIcon icon = windowIconOf(record->icon);
    if (!os::iconHasPlatformForm(record->icon)) raise(kBadArgument, "Lumen: Init: the icon is not a lumen::IconFile");

    const bool forcedHeadless = settings_.headless;
    backend_ = nullptr;
    if (!forcedHeadless && window_ != nullptr && window_->open(title.c_str(), icon))
        backend_ = window_;
    headless_ = backend_ == nullptr;
    if (headless_) {
        backend_ = &headlessBackend();
        backend_->open(title.c_str(), icon);
        if (!script_.playing()) {
            if (!forcedHeadless)
                printNote("Lumen: no display; running headless, playing the built-in demo");
            ScriptParse demo = parseScript(demoScript());
            if (!demo.ok()) raise(kBadSetting, scriptErrorText(kDemoScriptName, *demo.error));
            script_.load(std::move(demo.script));
        }
    } else {
        pacer_.setRate(60.0);  // a window is always paced
        if (settings_.fullscreen && backend_->fullscreen != nullptr) backend_->fullscreen();
        printNote(playLine(title));
    }
    title_ = title;

    seed_ = settings_.seed ? *settings_.seed : script_.seed() ? *script_.seed() : headless_ ? 1 : clockSeed();
    rng_.reseed(seed_);
    // Every output is opened now, so that one that cannot be written fails the run at once.
    if (!headless_) openOutputs(OpenAt::InitWindowed);
    canvas_ = std::make_unique<Canvas>(simdPathFor(settings_.simd));
    openOutputs(OpenAt::Init);
    os::watchStopRequests();
    state_ = State::Running;
}

void Session::openOutputs(OpenAt when) {
    if (const std::string error = outputs_.open(when, settings_.given, seed_); !error.empty())
        raise(kBadSetting, error);
}

void Session::free() {
    enter({"Free", FaultOp::None, CallLine::First, false},
          [&] { return "Free live=" + std::to_string(heap_.liveBlocks()); });
    const bool wasRunning = state_ == State::Running;
    if (wasRunning) {
        outputs_.endRun(canvas_.get());
        noteRecording();
        backend_->close();
    }
    // Drops what a failed Init left open; the trace is whole up to here and goes in its place
    // now, and FreeMem lines that follow Free are added to it in place.
    outputs_.free();
    os::unwatchStopRequests();
    canvas_.reset();
    state_ = State::Freed;
    if (const std::string failure = unreportedOutputFailure(); !failure.empty())
        raise(kOutputFailed, failure);
    // A fault planted in Free comes after the run is wound up, as from a Free that failed late.
    if (planted_.due(FaultOp::Free)) raisePlanted();
}

void Session::act() {
    const int64_t n = frame_ + 1;
    enter({"Act", FaultOp::Act, CallLine::First}, [&] { return actLine(n, settings_.traceTime); });
    frame_ = n;
    presentFrame();
    pacer_.wait(backend_->displayFrame);
    const InputState before = input_;
    const bool quit = backend_->poll(input_) || os::stopRequested();
    // F12: the next frame presented is saved; the input the program sees is not touched.
    pictureDue_ = pictureDue_ || input_.pictureAsked;
    input_.pictureAsked = false;
    InputRecorder& recorder = outputs_.recording;
    if (recorder.recording()) recorder.record(n, before, input_);
    if (quit) {
        if (recorder.recording()) recorder.quit(n);
        endRun(backend_->lost != nullptr ? backend_->lost() : nullptr);
    }
    if (const ScriptCommand* cmd = script_.play(n, input_)) endScript(*cmd);
    mouse_.sample(input_);
    if (script_.quitDue(n)) endRun();
}

void Session::presentFrame() {
    // Pixels are composited only for whoever reads them: a window (only where the frame
    // changed), the movie on its frames, the picture once at the end. A headless run without
    // them composites nothing.
    if (!headless_) {
        const uint32_t* pixels = canvas_->pixels();
        backend_->present(pixels, Canvas::kWidth, Canvas::kHeight,
                          canvas_->takeChanges(Canvas::kWindowView));
        if (pictureDue_) {
            pictureDue_ = false;
            saveSnapshot(pixels, Canvas::kWidth, Canvas::kHeight, title_);
        }
    }
    outputs_.frame(*canvas_);
    canvas_->clear();
}

void Session::endScript(const ScriptCommand& cmd) {
    if (cmd.op == ScriptOp::Quit) endRun();
    outputs_.endRun(canvas_.get());
    raiser_.raiseScripted(cmd, reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1);
}

void Session::endRun(const char* lostDisplay) {
    outputs_.endRun(canvas_.get());
    noteRecording();
    if (lostDisplay != nullptr) raise(kDisplayLost, lostDisplay);  // an output's failure: in Free
    if (const std::string failure = unreportedOutputFailure(); !failure.empty())
        raise(kOutputFailed, failure);
    raiseNull(kEndOfRun);
}

void Session::noteRecording() {
    const std::optional<std::string>& path = settings_.given.record;
    if (recordingNoted_ || headless_ || !path || outputs_.recording.output().failed()) return;
    recordingNoted_ = true;
    printNote("Lumen: the run is recorded in " + *path + "; " + commandName(title_) + " " +
              optionName(settingOf(&Settings::script)) + " " + shellWord(*path) + " plays it again");
}

std::string Session::unreportedOutputFailure() {
    if (outputFailureReported_) return {};
    const OutputFile* failed = outputs_.firstFailure();
    if (failed == nullptr) return {};
    outputFailureReported_ = true;
    return "Lumen: " + failed->error();
}

void* Session::allocMem(int64_t bytes, const char16_t* tag) {
    // Trace lines are only built when there is a trace.
    const auto call = [&] { return "AllocMem " + std::to_string(bytes) + " " + tagText(tag); };
    if (bytes < 0)
        refuse(call, kBadArgument, "Lumen: AllocMem of a negative size (" + std::to_string(bytes) + " bytes)");
    const bool skip = tag != nullptr && std::u16string_view(tag) == u"skip";
    enter({"AllocMem", FaultOp::AllocMem, CallLine::WithResult, false,
           skip ? FaultOp::AllocMemSkip : FaultOp::None},
          call);
    uint64_t id = 0;
    void* block = heap_.allocate(static_cast<uint64_t>(bytes), id);
    if (block == nullptr)
        refuse(call, kOutOfMemory, "Lumen: out of memory (AllocMem of " + std::to_string(bytes) + " bytes)");
    if (tracing()) trace(call() + " -> " + blockName(id));
    return block;
}

void Session::freeMem(void* block) {
    if (block == nullptr) {
        trace("FreeMem null");
        return;
    }
    uint64_t id = 0;
    switch (heap_.release(block, id)) {
        case Heap::Release::Freed:
            if (tracing()) trace("FreeMem " + blockName(id));
            return;
        case Heap::Release::AlreadyFreed:
            trace("FreeMem " + blockName(id));
            raise(kBadFree, "Lumen: FreeMem of block " + blockName(id) + ", which is already freed");
        case Heap::Release::Unknown:
            trace("FreeMem unknown");
            raise(kBadFree, "Lumen: FreeMem of an address that AllocMem did not give");
    }
}

int64_t Session::mouse(int64_t button) {
    const auto call = [&] { return "Mouse " + std::to_string(button); };
    enter({"Mouse", FaultOp::Mouse, CallLine::WithResult}, call);
    const int64_t value = mouse_.button(button);
    if (tracing()) trace(call() + " -> " + std::to_string(value));
    return value;
}

double Session::mouseX() { return coordinate({"MouseX", FaultOp::MouseX, CallLine::WithResult}, mouse_.x()); }

double Session::mouseY() { return coordinate({"MouseY", FaultOp::MouseY, CallLine::WithResult}, mouse_.y()); }

double Session::coordinate(const Operation& op, double value) {
    enter(op, [&] { return std::string(op.name); });
    if (tracing()) trace(std::string(op.name).append(" -> ").append(formatFloat(value)));
    return value;
}

int64_t Session::rnd(int64_t lo, int64_t hi) {
    const auto call = [&] { return "Rnd " + std::to_string(lo) + " " + std::to_string(hi); };
    enter({"Rnd", FaultOp::Rnd, CallLine::WithResult}, call);
    if (lo > hi)
        refuse(call, kBadArgument, "Lumen: " + call() + ": the lower bound is above the upper bound");
    const int64_t value = rng_.between(lo, hi);
    if (tracing()) trace(call() + " -> " + std::to_string(value));
    return value;
}

double Session::rndF() {
    enter({"RndF", FaultOp::RndF, CallLine::WithResult}, [] { return std::string("RndF"); });
    const double value = rng_.unit();
    if (tracing()) trace("RndF -> " + formatFloat(value));
    return value;
}

void Session::drawRect(double x, double y, double w, double h, double r, double g, double b,
                       double a) {
    enter({"DrawRect", FaultOp::DrawRect, CallLine::First}, [&] {
        std::string line = "DrawRect";
        for (const double v : {x, y, w, h, r, g, b, a}) line.append(" ").append(formatFloat(v));
        return line;
    });
    canvas_->fillRect(x, y, w, h, r, g, b, a);
}

void Session::unsupported(const char* name) {
    enter({name, FaultOp::None, CallLine::First, false}, [&] { return std::string(name); });
    raise(kUnsupported, std::string("Lumen: ") + name + " is not supported");
}

}  // namespace lumen
