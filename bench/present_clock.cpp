// A preloaded library (LD_PRELOAD) that notes the time of every SDL_RenderPresent of the
// process: the window's frame clock, seen from outside Lumen. Each call appends the monotonic
// time in ns (8 bytes, native order) to the file PRESENT_CLOCK_LOG, then presents as usual.
// Used by frames_bench; nothing in Lumen knows about it.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

struct SDL_Renderer;

namespace {
using PresentFn = void (*)(SDL_Renderer*);

int logFd() {
    static const int fd = [] {
        const char* path = std::getenv("PRESENT_CLOCK_LOG");
        return path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644) : -1;
    }();
    return fd;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) void SDL_RenderPresent(SDL_Renderer* renderer) {
    static const auto next = reinterpret_cast<PresentFn>(dlsym(RTLD_NEXT, "SDL_RenderPresent"));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ns = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    if (const int fd = logFd(); fd >= 0) {
        if (write(fd, &ns, sizeof ns) != static_cast<ssize_t>(sizeof ns)) {
            // A full disk only loses samples.
        }
    }
    if (next) next(renderer);
}
