#include "run/pacer.h"

#include "os/os.h"

namespace lumen {

void FramePacer::wait() {
    if (!(fps_ > 0.0)) {
        os::yieldToHost();  // frames back to back: the page still gets its turns
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / fps_));
    const auto now = Clock::now();
    if (nextFrameAt_ == Clock::time_point{} || nextFrameAt_ + interval < now) {
        nextFrameAt_ = now;  // first frame, or fallen behind by more than a frame: start afresh
        return;
    }
    nextFrameAt_ += interval;
    os::sleepUntil(nextFrameAt_);  // wakes for a stop request, which this Act then serves
}

void FramePacer::wait(double (*displayFrame)()) {
    if (displayFrame == nullptr) {
        wait();
        return;
    }
    while (!takeDisplayFrame(displayFrame())) {
    }
}

bool FramePacer::takeDisplayFrame(double nowMs) {
    if (!(fps_ > 0.0)) return true;
    const double interval = 1000.0 / fps_;  // ms
    if (nextDisplayDueMs_ < 0.0 || nowMs > nextDisplayDueMs_ + interval) {
        nextDisplayDueMs_ = nowMs + interval;  // first frame, or fallen behind: start afresh
        return true;
    }
    if (nowMs < nextDisplayDueMs_ - interval / 4.0) return false;  // too early: the next one
    nextDisplayDueMs_ += interval;
    return true;
}

}  // namespace lumen
