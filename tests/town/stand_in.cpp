#include "stand_in.h"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdlib>
#include <cstring>

#include "lumen/lumen.h"
#include "runtime/runtime.h"

namespace standin {
namespace {

StandIn* current = nullptr;

const Input& input() {
    static const Input up{};
    const int64_t f = current->frame;
    if (f >= 1 && f <= static_cast<int64_t>(current->frames.size())) {
        return current->frames[static_cast<size_t>(f - 1)];
    }
    return up;
}

int64_t leftCalls = 0;  // Mouse(0) calls in the current frame

void stubAct() {
    current->log("Act");
    if (current->allocsAtFirstAct < 0) current->allocsAtFirstAct = current->allocs;
    if (current->endAfter >= 0 && current->frame >= current->endAfter) {
        throw lumen::Fault{lumen::kEndOfRun, 0, 0};
    }
    ++current->frame;
    leftCalls = 0;
}

int64_t stubMouse(int64_t button) {
    current->log("Mouse " + std::to_string(button));
    const Input& in = input();
    if (button == 0) {
        ++leftCalls;
        return (leftCalls >= 2 && in.leftAgain >= 0) ? in.leftAgain : in.left;
    }
    return button == 1 ? in.right : 0;
}

double stubMouseX() {
    current->log("MouseX");
    return input().x;
}

double stubMouseY() {
    current->log("MouseY");
    return input().y;
}

int64_t stubRnd(int64_t lo, int64_t hi) {
    current->log("Rnd " + std::to_string(lo) + " " + std::to_string(hi));
    if (current->rnd.empty()) return 2;
    const int64_t v = current->rnd.front();
    current->rnd.pop_front();
    return v;
}

double stubRndF() {
    current->log("RndF");
    if (current->rndF.empty()) return 0.5;
    const double v = current->rndF.front();
    current->rndF.pop_front();
    return v;
}

void stubDrawRect(double x, double y, double w, double h, double r, double g, double b, double a) {
    current->log("DrawRect");
    current->rects.push_back(Rect{current->frame, x, y, w, h, r, g, b, a});
}

void* stubAllocMem(int64_t bytes, const char16_t*) {
    const size_t size = (static_cast<size_t>(bytes) + 15) / 16 * 16;
    void* p = std::aligned_alloc(16, size == 0 ? 16 : size);
    std::memset(p, 0, size);
    ++current->allocs;
    current->live.insert(p);
    current->log("AllocMem");
    return p;
}

void stubFreeMem(void* p) {
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

void towardZero(const std::function<void()>& f) {
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x6000u);
    try {
        f();
    } catch (...) {
        _mm_setcsr(saved);
        throw;
    }
    _mm_setcsr(saved);
}

}  // namespace standin
