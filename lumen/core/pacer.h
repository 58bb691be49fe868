// The frame pacer: holds a run to a frame rate by sleeping until each frame is due.
#pragma once

#include <chrono>

namespace lumen {

class FramePacer {
public:
    // Frames per second from now on, in [kMinFps, kMaxFps] of settings.h; 0 leaves the run
    // unpaced.
    void setRate(double fps) { fps_ = fps; }
    double rate() const { return fps_; }  // frames per second; 0 unpaced

    // Sleeps until the next frame is due. The first frame, and one that comes more than a frame
    // late, is due at once and starts the count afresh.
    void wait();

private:
    double fps_ = 0.0;
    std::chrono::steady_clock::time_point nextFrameAt_{};
};

}  // namespace lumen
