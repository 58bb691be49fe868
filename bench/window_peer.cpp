// The peer of the window benchmark: a plain SDL program that does what a demo window must do
// at the least, in the same window and at the same pace as Lumen, so that the CPU of the
// program and of the X server can be compared in one run.
//
//   window_peer clear TIMES   clears a 1600 x 900 window and presents it, 60 times a second
//   window_peer rects TIMES   also fills 30 translucent rectangles that move every frame
//
// SDL's software renderer, its window surface not put through GL. Each frame's monotonic time
// goes to TIMES as "t=SECONDS" lines; SIGTERM or closing the window ends it with status 0.
#include <SDL.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "clear") != 0 && std::strcmp(argv[1], "rects") != 0)) {
        std::fprintf(stderr, "usage: window_peer clear|rects TIMES\n");
        return 2;
    }
    const bool rects = std::strcmp(argv[1], "rects") == 0;
    std::FILE* times = std::fopen(argv[2], "w");
    if (times == nullptr) return 1;
    signal(SIGTERM, requestStop);
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return 1;
    SDL_Window* window = SDL_CreateWindow("Stackrise peer", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                          1600, 900, SDL_WINDOW_SHOWN);
    SDL_Renderer* renderer = window ? SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE) : nullptr;
    if (renderer == nullptr) return 1;
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::nanoseconds(1000000000 / 60);
    auto next = Clock::now();
    for (long frame = 0; !stopRequested; ++frame) {
        for (SDL_Event e; SDL_PollEvent(&e);)
            if (e.type == SDL_QUIT) stopRequested = 1;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        std::fprintf(times, "t=%lld.%09lld\n", static_cast<long long>(ns / 1000000000),
                     static_cast<long long>(ns % 1000000000));
        SDL_SetRenderDrawColor(renderer, 0x0B, 0x13, 0x28, 0xFF);
        SDL_RenderClear(renderer);
        if (rects) {
            // 30 towers of 100 x 400 px along the ground, each rising or falling by a few px a frame.
            for (int i = 0; i < 30; ++i) {
                const int rise = static_cast<int>((frame * (i + 1) * 3) % 800);
                const SDL_Rect r = {10 + i * 52, 900 - rise, 100, 400};
                SDL_SetRenderDrawColor(renderer, static_cast<Uint8>(40 + i * 7), static_cast<Uint8>(200 - i * 5), 160, 204);
                SDL_RenderFillRect(renderer, &r);
            }
        }
        SDL_RenderPresent(renderer);
        next += interval;
        const auto now = Clock::now();
        if (next > now) std::this_thread::sleep_until(next);
        else next = now;
    }
    std::fclose(times);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
