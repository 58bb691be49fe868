// The peer of the window benchmark: a plain SDL program that draws what the demo's window shows
// (29 translucent towers over the sky, 1600 x 900 units scaled to the window) every frame, at
// the same pace as Lumen, so that the CPU of the program and of the X server can be compared in
// one run.
//
//   window_peer standing|moving TIMES [full]
//     standing  29 towers that stand still
//     moving    the same towers rising and falling by a few units a frame
//     full      desktop fullscreen instead of a 1600 x 900 window
//
// SDL's software renderer (its window surface not put through GL), as a plain program without a
// GPU uses it. Each frame's monotonic time goes to TIMES as "t=SECONDS" lines; SIGTERM or closing
// the window ends it with status 0.
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
    const bool known = argc >= 3 && (std::strcmp(argv[1], "standing") == 0 || std::strcmp(argv[1], "moving") == 0);
    if (!known || argc > 4 || (argc == 4 && std::strcmp(argv[3], "full") != 0)) {
        std::fprintf(stderr, "usage: window_peer standing|moving TIMES [full]\n");
        return 2;
    }
    const bool moving = std::strcmp(argv[1], "moving") == 0;
    std::FILE* times = std::fopen(argv[2], "w");
    if (times == nullptr) return 1;
    signal(SIGTERM, requestStop);
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return 1;
    const Uint32 flags = SDL_WINDOW_SHOWN | (argc == 4 ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
    SDL_Window* window =
        SDL_CreateWindow("Stackrise peer", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 1600, 900, flags);
    SDL_Renderer* renderer = window ? SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE) : nullptr;
    if (renderer == nullptr) return 1;
    SDL_RenderSetLogicalSize(renderer, 1600, 900);  // the canvas's units, letterboxed
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
        // 29 towers 110 units wide, 54 apart, along the ground at y = 750.
        for (int i = 0; i < 29; ++i) {
            const int standing = 200 + (i * 137) % 450;
            const int height = moving ? static_cast<int>((frame * (i + 3) * 4 + i * 97) % 700) : standing;
            const SDL_Rect r = {10 + i * 54, 750 - height, 110, height};
            SDL_SetRenderDrawColor(renderer, static_cast<Uint8>(40 + i * 7), static_cast<Uint8>(200 - i * 5), 160, 204);
            SDL_RenderFillRect(renderer, &r);
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
