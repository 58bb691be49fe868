// The frame pacer: holds a run to a frame rate by sleeping until each frame is due, or, where the
// display sets the beat (a browser's animation frames), by letting through only the display
// frames at which a frame is due.
#pragma once

#include <chrono>

namespace lumen {

class FramePacer {
public:
    // Frames per second from now on, in [kMinFps, kMaxFps] of settings.h; 0 leaves the run
    // unpaced.
    void setRate(double fps) { fps_ = fps; }
    double rate() const { return fps_; }  // frames per second; 0 unpaced

    // Sleeps until the next frame is due, or until a stop is requested (os::sleepUntil). The
    // first frame, and one that comes more than a frame late, is due at once and starts the
    // count afresh. Unpaced, it only lets the page run now and then (os::yieldToHost).
    void wait();

    // Waits for display frames through `displayFrame` (which pauses until the display's next
    // frame and gives its time, ms on a steady clock) until one at which a frame is due; null:
    // wait() above. Unpaced, the next display frame is taken.
    void wait(double (*displayFrame)());

    // Whether a frame is due at a display frame shown at `nowMs` (ms, steady clock, never
    // decreasing). Frames are due one interval apart; a display frame up to a quarter interval
    // early counts (display frames jitter), one earlier is skipped, so a faster display runs
    // the program at the rate on average and never faster. The first display frame, and one
    // more than an interval after a frame was due, takes a frame and starts the count afresh.
    bool takeDisplayFrame(double nowMs);

private:
    double fps_ = 0.0;
    std::chrono::steady_clock::time_point nextFrameAt_{};
    double nextDisplayDueMs_ = -1.0;  // ms; < 0 before the first display frame
};

}  // namespace lumen
