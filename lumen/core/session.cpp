#include "core/session.h"

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "core/canvas.h"
#include "core/capture.h"
#include "core/demo_script.h"
#include "core/os.h"
#include "core/text.h"

namespace lumen {

namespace {

// Appended rather than prefixed ("#" + s): GCC 12 at -O3 reports a false -Wrestrict in that insert.
std::string blockName(uint64_t id) { return std::string("#").append(std::to_string(id)); }

std::string tagText(const char16_t* tag) {
    if (tag == nullptr) return "null";
    return quote(utf16ToUtf8(tag, utf16Length(tag)));
}

// Informational lines only (the seed of a window run, the headless note): every failure is
// raised as a fault, and the program's diagnostic line carries its message.
void printNote(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// A real invalid memory access: the address comes through a volatile, so the store is made.
// Sanitizers would stop at it first; it is meant to reach the program's SIGSEGV handler.
__attribute__((noinline, no_sanitize("address", "undefined"))) void invalidAccess() {
    static volatile uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
}

// Runs out of stack: each level keeps a page live, so the calls cannot be folded into a loop.
// The flag is never cleared; it only keeps the compiler from proving the recursion endless.
volatile bool keepRecursing = true;
[[gnu::noinline]] int exhaustStack(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (!keepRecursing) return page[0];
    return exhaustStack(depth + 1) + page[0];
}

// A frame rate whose interval the pacer can hold: from one frame in 11.5 days to a million a
// second.
constexpr double kMinFps = 1e-6;
constexpr double kMaxFps = 1e6;

std::optional<double> parseFps(const std::string& text) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    if (!(value >= kMinFps) || value > kMaxFps) return std::nullopt;
    return value;
}

// The outputs and inputs of a run, by variable, for the check that no two name one file.
struct NamedPath {
    const char* variable;
    const std::optional<std::string>* path;
};

}  // namespace

Session::Session(Settings settings, const Backend* window)
    : settings_(std::move(settings)), window_(window) {
    // An output that names an input or another output would destroy it: refused before any
    // file is opened. Streams (the null device, a terminal, a FIFO) are never destroyed.
    const NamedPath paths[] = {{"LUMEN_SCRIPT", &settings_.script},
                               {"LUMEN_TRACE", &settings_.trace},
                               {"LUMEN_CAPTURE", &settings_.capture},
                               {"LUMEN_MOVIE", &settings_.movie},
                               {"LUMEN_RECORD", &settings_.record}};
    for (std::size_t i = 1; i < std::size(paths); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (*paths[i].path && *paths[j].path &&
                os::pathKind(**paths[i].path) != os::PathKind::Stream &&
                os::sameFile(**paths[i].path, **paths[j].path)) {
                setupError(std::string("Lumen: ") + paths[i].variable + " and " + paths[j].variable +
                           " name the same file " + **paths[i].path);
                return;
            }
        }
    }
    if (settings_.trace) {
        std::string error;
        if (!trace_.open(*settings_.trace, error)) setupError("Lumen: " + error);
    }
    if (settings_.seed) {
        envSeed_ = parseUnsigned(*settings_.seed);
        if (!envSeed_)
            setupError("Lumen: bad LUMEN_SEED " + quoteShort(*settings_.seed) +
                       " (a decimal or 0x hex number below 2^64)");
    }
    if (settings_.fps) {
        const std::optional<double> fps = parseFps(*settings_.fps);
        if (fps) {
            fps_ = *fps;
        } else {
            setupError("Lumen: bad LUMEN_FPS " + quoteShort(*settings_.fps) +
                       " (frames per second, from 0.000001 to 1000000)");
        }
    }
    if (settings_.fault) {
        std::string error;
        if (std::optional<FaultPlan> plan = FaultPlan::parse(*settings_.fault, error)) {
            planted_ = std::move(*plan);
        } else {
            setupError(error);
        }
    }
    if (settings_.script) {
        scriptName_ = *settings_.script;
        std::string text;
        std::string error;
        if (!readScriptFile(scriptName_, text, error)) {
            setupError("Lumen: cannot read script " + scriptName_ + ": " + error);
        } else {
            ScriptParse parse = parseScript(text);
            if (!parse.ok()) {
                setupError(scriptErrorText(scriptName_, *parse.error));
            } else {
                commands_ = std::move(parse.script.commands);
                quitFrame_ = parse.script.quitFrame;
                scriptSeed_ = parse.script.seed;
                scripted_ = true;
            }
        }
    }
}

Session::~Session() {
    // The library is being unloaded: the trace is kept (FreeMem may have followed Free), every
    // other output not committed by now is incomplete and dropped.
    trace_.output().commit();
    os::unwatchStopRequests();
}

void Session::setupError(std::string message) {
    if (setupError_.empty()) setupError_ = std::move(message);
}

// ---- Faults ---------------------------------------------------------------------------------

void Session::raise(uint32_t code, std::string_view message) {
    const uint64_t address = reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1;
    const std::u16string units = utf8ToUtf16(message);
    const auto length = static_cast<int64_t>(units.size());
    uint64_t id = 0;
    auto* text = static_cast<String*>(heap_.allocate(static_cast<uint64_t>(stringBytes(length)), id));
    if (text == nullptr) {
        trace("raise " + std::to_string(code) + " null");
        throwFault(code, 0, address);
    }
    text->count = 1;
    text->length = length;
    std::memcpy(text->units, units.data(), units.size() * sizeof(char16_t));
    text->units[length] = 0;
    trace("raise " + std::to_string(code) + " " + quote(message));
    throwFault(code, reinterpret_cast<uintptr_t>(text), address);
}

void Session::raiseNull(uint32_t code) {
    const uint64_t address = reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1;
    trace("raise " + std::to_string(code) + " null");
    throwFault(code, 0, address);
}

void Session::throwFault(uint32_t code, uint64_t argument, uint64_t address) {
    os::raiseFault(code, argument, address);
}

void Session::raisePlanted() {
    switch (planted_.kind()) {
        case FaultPlan::Kind::BadAlloc: throw std::bad_alloc();
        case FaultPlan::Kind::Exception:
            throw std::runtime_error(planted_.hasMessage() ? planted_.message() : "planted");
        case FaultPlan::Kind::Fault: break;
    }
    if (planted_.hasMessage()) raise(planted_.code(), planted_.message());
    raiseNull(planted_.code());
}

void Session::notRunning(const char* name) {
    switch (state_) {
        case State::Fresh: raise(kBadArgument, std::string("Lumen: ") + name + " before Init");
        case State::Failed: raise(kBadArgument, std::string("Lumen: ") + name + " after a failed Init");
        case State::Freed: raise(kBadArgument, std::string("Lumen: ") + name + " after Free");
        case State::Running: break;
    }
    raise(kBadArgument, std::string("Lumen: ") + name + " cannot run now");
}

// ---- Init and Free --------------------------------------------------------------------------

void Session::init(const InitRecord* record) {
    if (record == nullptr) {
        trace("Init null");
        raise(kBadArgument, "Lumen: Init got a null record");
    }
    std::string title;
    std::string line = "Init title=";
    const String* t = record->title;
    const bool titleOk = t == nullptr || (t->length >= 0 && t->length <= (int64_t{1} << 30));
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
                  record->buildId, record->one, record->instance ? "set" : "null",
                  record->icon ? "set" : "null", record->faultCell ? "set" : "null");
    line += fields;
    trace(line);

    if (state_ == State::Freed) raise(kBadArgument, "Lumen: Init after Free");
    if (state_ != State::Fresh) raise(kBadArgument, "Lumen: Init called twice");
    state_ = State::Failed;  // until everything below has worked
    if (!setupError_.empty()) raise(kScriptError, setupError_);
    if (planted_.due(FaultOp::Init)) raisePlanted();
    if (!titleOk) raise(kBadArgument, "Lumen: Init: the title's length is out of range");
    // The icon reaches the window backend as it came, typed in its platform's form.
    const WindowIcon icon = windowIconOf(record->icon);
    if (!os::iconHasPlatformForm(record->icon)) raise(kBadArgument, "Lumen: Init: the icon is not a lumen::IconFile");

    const bool forcedHeadless =
        (settings_.headless && *settings_.headless == "1") || settings_.script.has_value();
    backend_ = nullptr;
    if (!forcedHeadless && window_ != nullptr && window_->open(title.c_str(), icon))
        backend_ = window_;
    headless_ = backend_ == nullptr;
    if (headless_) {
        backend_ = &headlessBackend();
        backend_->open(title.c_str(), icon);
        if (!scripted_) {
            if (!forcedHeadless)
                printNote("Lumen: no display; running headless, playing the built-in demo");
            ScriptParse demo = parseScript(demoScript());
            if (!demo.ok()) raise(kScriptError, scriptErrorText(kDemoScriptName, *demo.error));
            scriptName_ = kDemoScriptName;
            commands_ = std::move(demo.script.commands);
            quitFrame_ = demo.script.quitFrame;
            scriptSeed_ = demo.script.seed;
            scripted_ = true;
        }
    } else {
        fps_ = 60.0;  // a window is always paced
    }

    if (envSeed_) {
        seed_ = *envSeed_;
    } else if (scriptSeed_) {
        seed_ = *scriptSeed_;
    } else if (headless_) {
        seed_ = 1;
    } else {
        seed_ = static_cast<uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count());
        printNote("Lumen: seed " + std::to_string(seed_) + " (LUMEN_SEED=" +
                   std::to_string(seed_) + " replays it)");
    }
    rng_.reseed(seed_);
    // Every output is opened now, so that one that cannot be written fails the run at once.
    if (settings_.record && !headless_) {
        if (!record_.open(*settings_.record, "LUMEN_RECORD")) raise(kScriptError, "Lumen: " + record_.error());
        recordLine("0 seed " + std::to_string(seed_));
    }
    canvas_ = std::make_unique<Canvas>();
    if (settings_.capture) {
        if (!capture_.open(*settings_.capture, "picture")) raise(kScriptError, "Lumen: " + capture_.error());
        lastFrame_.assign(std::size_t{Canvas::kWidth} * Canvas::kHeight, Canvas::kBackground);
    }
    if (settings_.movie) {
        if (!movieFile_.open(*settings_.movie, "movie")) raise(kScriptError, "Lumen: " + movieFile_.error());
        movie_ = std::make_unique<GifMovie>();
        if (!movie_->open(movieFile_.stream(), Canvas::kWidth, Canvas::kHeight)) {
            movieFile_.fail(movie_->error());
            movie_.reset();
            const std::string error = "Lumen: " + movieFile_.error();
            movieFile_.discard();
            raise(kScriptError, error);
        }
    }
    os::watchStopRequests();
    state_ = State::Running;
}

void Session::free() {
    trace("Free live=" + std::to_string(heap_.liveBlocks()));
    const bool wasRunning = state_ == State::Running;
    if (wasRunning) {
        finishCapture();
        backend_->close();
    }
    capture_.discard();  // left open only by a failed Init
    movieFile_.discard();
    finishRecording();
    // The trace is whole up to here and goes in its place now; FreeMem lines that follow Free
    // are added to it in place.
    trace_.output().commitAndContinue();
    os::unwatchStopRequests();
    canvas_.reset();
    movie_.reset();
    lastFrame_.clear();
    lastFrame_.shrink_to_fit();
    state_ = State::Freed;
    if (const std::string failure = unreportedOutputFailure(); !failure.empty())
        raise(kOutputFailed, failure);
    if (planted_.due(FaultOp::Free)) raisePlanted();
}

// ---- Act ------------------------------------------------------------------------------------

void Session::act() {
    const int64_t n = frame_ + 1;
    if (trace_.enabled()) trace("Act " + std::to_string(n));
    if (state_ != State::Running) notRunning("Act");
    if (planted_.due(FaultOp::Act)) raisePlanted();
    frame_ = n;
    presentFrame();
    pace();
    const InputState before = input_;
    const bool quit = backend_->poll(input_) || os::stopRequested();
    if (record_.isOpen()) recordInput(n, before);
    if (quit) {
        if (record_.isOpen()) recordLine(std::to_string(n) + " quit");
        endRun();
    }
    if (scripted_) applyScript(n);
    mouse_.sample(input_);
    if (scripted_ && n >= quitFrame_) endRun();
}

void Session::endRun() {
    finishCapture();
    finishRecording();
    if (const std::string failure = unreportedOutputFailure(); !failure.empty())
        raise(kOutputFailed, failure);
    raiseNull(kEndOfRun);
}

void Session::finishRecording() {
    if (record_.isOpen()) record_.commit();
}

std::string Session::unreportedOutputFailure() {
    if (outputFailureReported_) return {};
    for (OutputFile* out : {&trace_.output(), &capture_, &movieFile_, &record_}) {
        if (out->failed()) {
            outputFailureReported_ = true;
            return "Lumen: " + out->error();
        }
    }
    return {};
}

void Session::applyScript(int64_t n) {
    while (nextCommand_ < commands_.size() && commands_[nextCommand_].frame <= n) {
        const ScriptCommand& cmd = commands_[nextCommand_++];
        switch (cmd.op) {
            case ScriptOp::Move:
                input_.x = cmd.x;
                input_.y = cmd.y;
                break;
            case ScriptOp::Press: input_.down[cmd.button] = true; break;
            case ScriptOp::Release: input_.down[cmd.button] = false; break;
            case ScriptOp::Quit: endRun();
            case ScriptOp::Fault:
                finishCapture();
                if (cmd.hasMessage) raise(cmd.code, cmd.message);
                raiseNull(cmd.code);
            case ScriptOp::Crash:
                finishCapture();
                trace("crash");
                invalidAccess();
                raiseNull(kAccessViolation);  // only if the access did not fault
            case ScriptOp::Overflow:
                finishCapture();
                trace("overflow");
                exhaustStack(0);
                raiseNull(kStackOverflow);  // not reached
        }
    }
}

void Session::recordInput(int64_t n, const InputState& before) {
    const std::string frame = std::to_string(n);
    const bool moved = n == 1 || std::memcmp(&before.x, &input_.x, sizeof(double)) != 0 ||
                       std::memcmp(&before.y, &input_.y, sizeof(double)) != 0;
    if (moved) recordLine(frame + " move " + formatFloat(input_.x) + " " + formatFloat(input_.y));
    static const char* const kButtons[2] = {"left", "right"};
    for (int b = 0; b < 2; ++b) {
        if (before.down[b] != input_.down[b])
            recordLine(frame + (input_.down[b] ? " press " : " release ") + kButtons[b]);
    }
}

void Session::recordLine(const std::string& line) { record_.line(line); }

void Session::presentFrame() {
    const uint32_t* pixels = canvas_->pixels();
    backend_->present(pixels, Canvas::kWidth, Canvas::kHeight);
    if (movie_ && !movie_->present(pixels)) {
        // Noted; the run goes on and ends failed.
        movieFile_.fail(movie_->error());
        movie_.reset();
        movieFile_.discard();
    }
    if (!lastFrame_.empty()) std::memcpy(lastFrame_.data(), pixels, lastFrame_.size() * sizeof(uint32_t));
    presentedAny_ = true;
    canvas_->clear();
}

void Session::pace() {
    if (!(fps_ > 0.0)) return;
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / fps_));
    const auto now = Clock::now();
    if (nextFrameAt_ == Clock::time_point{} || nextFrameAt_ + interval < now) {
        nextFrameAt_ = now;  // first frame, or fallen behind by more than a frame: start afresh
        return;
    }
    nextFrameAt_ += interval;
    std::this_thread::sleep_until(nextFrameAt_);
}

void Session::finishCapture() {
    if (captureDone_) return;
    captureDone_ = true;
    if (capture_.isOpen()) {
        if (presentedAny_) {
            const std::string error =
                writePng(capture_.stream(), lastFrame_.data(), Canvas::kWidth, Canvas::kHeight);
            if (!error.empty()) capture_.fail(error);
            capture_.commit();
        } else {
            capture_.discard();  // no frame was presented: nothing to show, the path is left alone
        }
    }
    if (movie_) {
        if (!movie_->close()) movieFile_.fail(movie_->error());
        movie_.reset();
        movieFile_.commit();
    }
}

// ---- Memory ---------------------------------------------------------------------------------

void* Session::allocMem(int64_t bytes, const char16_t* tag) {
    // Trace lines are only built when there is a trace.
    const auto call = [&] { return "AllocMem " + std::to_string(bytes) + " " + tagText(tag); };
    if (bytes < 0) {
        if (trace_.enabled()) trace(call());
        raise(kBadArgument, "Lumen: AllocMem of a negative size (" + std::to_string(bytes) + " bytes)");
    }
    if (planted_.due(FaultOp::AllocMem) ||
        (tag != nullptr && std::u16string_view(tag) == u"skip" && planted_.due(FaultOp::AllocMemSkip))) {
        if (trace_.enabled()) trace(call());
        raisePlanted();
    }
    uint64_t id = 0;
    void* block = heap_.allocate(static_cast<uint64_t>(bytes), id);
    if (block == nullptr) {
        if (trace_.enabled()) trace(call());
        raise(kOutOfMemory, "Lumen: out of memory (AllocMem of " + std::to_string(bytes) + " bytes)");
    }
    if (trace_.enabled()) trace(call() + " -> " + blockName(id));
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
            if (trace_.enabled()) trace("FreeMem " + blockName(id));
            return;
        case Heap::Release::AlreadyFreed:
            trace("FreeMem " + blockName(id));
            raise(kBadFree, "Lumen: FreeMem of block " + blockName(id) + ", which is already freed");
        case Heap::Release::Unknown:
            trace("FreeMem unknown");
            raise(kBadFree, "Lumen: FreeMem of an address that AllocMem did not give");
    }
}

// ---- Input, random numbers, drawing --------------------------------------------------------

int64_t Session::mouse(int64_t button) {
    const auto call = [&] { return "Mouse " + std::to_string(button); };
    if (state_ != State::Running) {
        if (trace_.enabled()) trace(call());
        notRunning("Mouse");
    }
    if (planted_.due(FaultOp::Mouse)) {
        if (trace_.enabled()) trace(call());
        raisePlanted();
    }
    const int64_t value = mouse_.button(button);
    if (trace_.enabled()) trace(call() + " -> " + std::to_string(value));
    return value;
}

double Session::mouseX() {
    if (state_ != State::Running) {
        trace("MouseX");
        notRunning("MouseX");
    }
    if (planted_.due(FaultOp::MouseX)) {
        trace("MouseX");
        raisePlanted();
    }
    if (trace_.enabled()) trace("MouseX -> " + formatFloat(mouse_.x()));
    return mouse_.x();
}

double Session::mouseY() {
    if (state_ != State::Running) {
        trace("MouseY");
        notRunning("MouseY");
    }
    if (planted_.due(FaultOp::MouseY)) {
        trace("MouseY");
        raisePlanted();
    }
    if (trace_.enabled()) trace("MouseY -> " + formatFloat(mouse_.y()));
    return mouse_.y();
}

int64_t Session::rnd(int64_t lo, int64_t hi) {
    const auto call = [&] { return "Rnd " + std::to_string(lo) + " " + std::to_string(hi); };
    if (state_ != State::Running) {
        if (trace_.enabled()) trace(call());
        notRunning("Rnd");
    }
    if (planted_.due(FaultOp::Rnd)) {
        if (trace_.enabled()) trace(call());
        raisePlanted();
    }
    if (lo > hi) {
        if (trace_.enabled()) trace(call());
        raise(kBadArgument, "Lumen: Rnd " + std::to_string(lo) + " " + std::to_string(hi) +
                                ": the lower bound is above the upper bound");
    }
    const int64_t value = rng_.between(lo, hi);
    if (trace_.enabled()) trace(call() + " -> " + std::to_string(value));
    return value;
}

double Session::rndF() {
    if (state_ != State::Running) {
        trace("RndF");
        notRunning("RndF");
    }
    if (planted_.due(FaultOp::RndF)) {
        trace("RndF");
        raisePlanted();
    }
    const double value = rng_.unit();
    if (trace_.enabled()) trace("RndF -> " + formatFloat(value));
    return value;
}

void Session::drawRect(double x, double y, double w, double h, double r, double g, double b,
                       double a) {
    if (trace_.enabled()) {
        std::string line = "DrawRect";
        for (const double v : {x, y, w, h, r, g, b, a}) {
            line += ' ';
            line += formatFloat(v);
        }
        trace(line);
    }
    if (state_ != State::Running) notRunning("DrawRect");
    if (planted_.due(FaultOp::DrawRect)) raisePlanted();
    canvas_->fillRect(x, y, w, h, r, g, b, a);
}

void Session::unsupported(const char* name) {
    trace(name);
    raise(kUnsupported, std::string("Lumen: ") + name + " is not supported");
}

}  // namespace lumen
