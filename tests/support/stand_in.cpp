#include "stand_in.h"

#include <xmmintrin.h>

#include <cstdlib>
#include <cstring>

#include "lumen/lumen.h"
#include "runtime/runtime.h"

namespace standin {
namespace {

StandIn* current = nullptr;

constexpr unsigned kLumenMxcsr = 0x1F80;  // Lumen's own mode: to nearest, all exceptions masked

// With `lumenMode`: Lumen's mode while the call runs, the caller's (flags cleared) after it.
struct Guard {
    unsigned saved = 0;
    Guard() {
        if (!current->lumenMode) return;
        saved = _mm_getcsr();
        _mm_setcsr(kLumenMxcsr);
    }
    ~Guard() {
        if (current->lumenMode) _mm_setcsr(saved & ~0x3Fu);
    }
};

const Input& input() {
    static const Input up{};
    if (current->inputOf) return current->held;
    const int64_t f = current->frame;
    if (f >= 1 && f <= static_cast<int64_t>(current->frames.size())) {
        return current->frames[static_cast<size_t>(f - 1)];
    }
    return up;
}

int64_t leftCalls = 0;  // Mouse(0) calls in the current frame

void stubAct() {
    Guard guard;
    current->log("Act");
    if (current->allocsAtFirstAct < 0) current->allocsAtFirstAct = current->allocs;
    if (current->endAfter >= 0 && current->frame >= current->endAfter) {
        throw lumen::Fault{lumen::kEndOfRun, 0, 0};
    }
    ++current->frame;
    leftCalls = 0;
    if (current->inputOf) current->held = current->inputOf(current->frame);
}

int64_t stubMouse(int64_t button) {
    Guard guard;
    if (current->record) current->log("Mouse " + std::to_string(button));
    const Input& in = input();
    if (button == 0) {
        ++leftCalls;
        return (leftCalls >= 2 && in.leftAgain >= 0) ? in.leftAgain : in.left;
    }
    return button == 1 ? in.right : 0;
}

double stubMouseX() {
    Guard guard;
    current->log("MouseX");
    return input().x;
}

double stubMouseY() {
    Guard guard;
    current->log("MouseY");
    return input().y;
}

int64_t stubRnd(int64_t lo, int64_t hi) {
    Guard guard;
    if (current->record) current->log("Rnd " + std::to_string(lo) + " " + std::to_string(hi));
    if (current->rndOf) return current->rndOf(lo, hi);
    if (current->rnd.empty()) return 2;
    const int64_t v = current->rnd.front();
    current->rnd.pop_front();
    return v;
}

double stubRndF() {
    Guard guard;
    current->log("RndF");
    if (current->rndFOf) return current->rndFOf();
    if (current->rndF.empty()) return 0.5;
    const double v = current->rndF.front();
    current->rndF.pop_front();
    return v;
}

void stubDrawRect(double x, double y, double w, double h, double r, double g, double b, double a) {
    Guard guard;
    current->log("DrawRect");
    if (current->record) current->rects.push_back(Rect{current->frame, x, y, w, h, r, g, b, a});
}

void* stubAllocMem(int64_t bytes, const char16_t*) {
    Guard guard;
    const size_t size = (static_cast<size_t>(bytes) + 15) / 16 * 16;
    void* p = std::aligned_alloc(16, size == 0 ? 16 : size);
    std::memset(p, 0, size);
    ++current->allocs;
    current->live.insert(p);
    current->log("AllocMem");
    return p;
}

void stubFreeMem(void* p) {
    Guard guard;
    current->log("FreeMem");
    if (current->live.erase(p) == 0) {
        ++current->badFrees;
        return;
    }
    std::free(p);
}

}  // namespace

StandIn::StandIn() {
    current = this;
    rt::clearEntries();
    rt::setEntry(rt::Name::Act, reinterpret_cast<void*>(&stubAct));
    rt::setEntry(rt::Name::Mouse, reinterpret_cast<void*>(&stubMouse));
    rt::setEntry(rt::Name::MouseX, reinterpret_cast<void*>(&stubMouseX));
    rt::setEntry(rt::Name::MouseY, reinterpret_cast<void*>(&stubMouseY));
    rt::setEntry(rt::Name::Rnd, reinterpret_cast<void*>(&stubRnd));
    rt::setEntry(rt::Name::RndF, reinterpret_cast<void*>(&stubRndF));
    rt::setEntry(rt::Name::DrawRect, reinterpret_cast<void*>(&stubDrawRect));
    rt::setEntry(rt::Name::AllocMem, reinterpret_cast<void*>(&stubAllocMem));
    rt::setEntry(rt::Name::FreeMem, reinterpret_cast<void*>(&stubFreeMem));
}

StandIn::~StandIn() {
    for (void* p : live) std::free(p);
    rt::clearEntries();
    current = nullptr;
}

void StandIn::log(std::string entry) {
    if (!record) return;
    if (onCall) onCall(entry);
    calls.push_back(std::move(entry));
}

std::vector<std::string> StandIn::callsInFrame(int64_t f) const {
    std::vector<std::string> out;
    int64_t acts = 0;
    for (const std::string& c : calls) {
        if (c == "Act") {
            ++acts;
            continue;
        }
        if (acts == f) out.push_back(c);
    }
    return out;
}

std::vector<Rect> StandIn::rectsInFrame(int64_t f) const {
    std::vector<Rect> out;
    for (const Rect& r : rects) {
        if (r.frame == f) out.push_back(r);
    }
    return out;
}

int64_t StandIn::count(const std::string& name) const {
    int64_t n = 0;
    for (const std::string& c : calls) n += (c == name);
    return n;
}

void StandIn::clearLog() {
    calls.clear();
    rects.clear();
}

}  // namespace standin
