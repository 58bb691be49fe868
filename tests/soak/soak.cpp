// Soak run: the real program and Lumen, headless, for many frames of seeded random input that
// fills all 30 slots again and again (33 drags a round, every tower tipped over, a wait for the
// collapses that is sometimes too short, so rounds overlap). The script is made here; the
// trace comes through a FIFO and is checked as it streams; resident memory (anonymous and file
// pages) is sampled from /proc while the program runs.
//
//   stackrise_soak EXE FRAMES [SEED] [--no-rss]   exit status 0 when every check holds
//
// Checks: exit status 0, nothing on stderr; frames 1..FRAMES in order; the 66 set-up
// allocations before frame 1 and none in the frame loop; per frame Mouse(1) once, Mouse(0)
// once or twice, at most 30 DrawRects; every RndF accounted for (4 per raised tower, 1 per
// trembling draw); saturation reached (30 live towers) in most rounds and drags dropped while
// full; one raise (the orderly end), Free once with only the error record live, every block
// given back; anonymous resident memory after the first frame never above its first sample by more
// than 64 KiB.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace {

struct Plan {
    std::string text;
    int64_t drags = 0;
    int64_t rounds = 0;
};

// 33 drags (random place, width and direction), a wait until they stand, a right click in
// each, then a wait of 300 to 700 frames; repeated until `frames`, where it quits.
Plan makeScript(int64_t frames, uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto uniform = [&](int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(hi - lo + 1)); };
    Plan p;
    std::string& s = p.text;
    s.reserve(static_cast<size_t>(frames) * 5);
    int64_t f = 1;
    auto line = [&](int64_t frame, const std::string& rest) { s += std::to_string(frame) + " " + rest + "\n"; };
    while (f + 1000 < frames) {
        ++p.rounds;
        std::vector<std::pair<int64_t, int64_t>> towers;  // left edge, width
        for (int i = 0; i < 33; ++i) {
            const int64_t x0 = uniform(0, 1500);
            const int64_t width = uniform(0, 1) ? uniform(0, 99) : uniform(100, 600);
            const bool rightward = uniform(0, 1);
            const int64_t from = rightward ? x0 : x0 + width;
            const int64_t to = rightward ? x0 + width : x0;
            line(f, "move " + std::to_string(from) + " 500");
            line(f, "press left");
            line(f + 1, "move " + std::to_string(to) + " 500");
            line(f + 2, "release left");
            towers.emplace_back(x0, width < 100 ? 100 : width);
            f += 3;
            ++p.drags;
        }
        f += 160;  // every tower of the round has risen
        for (const auto& [x, w] : towers) {
            line(f, "move " + std::to_string(x) + ".5 880");  // inside: x < x + 0.5 < x + w
            line(f, "press right");
            line(f + 1, "release right");
            f += 2;
        }
        f += uniform(0, 3) == 0 ? uniform(300, 500) : uniform(610, 700);
    }
    line(frames, "quit");
    return p;
}

// Resident memory of the process in KiB: its anonymous pages (heap, stack, mappings of its own)
// and its file pages (code and data of the program and its libraries, read in as first used).
struct Rss {
    long anon = -1, file = -1;
};

Rss residentKiB(pid_t pid) {
    Rss r;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("RssAnon:", 0) == 0) r.anon = std::strtol(l.c_str() + 8, nullptr, 10);
        if (l.rfind("RssFile:", 0) == 0) r.file = std::strtol(l.c_str() + 8, nullptr, 10);
    }
    return r;
}

struct Checker {
    int64_t acts = 0, allocsBeforeFirst = 0, allocsInLoop = 0, allocs = 0, frees = 0;
    int64_t rnd = 0, rndF = 0, trembles = 0, raises = 0, frees_ = 0;
    int64_t draws = 0, mouse0 = 0, mouse1 = 0, saturatedFrames = 0, saturations = 0, maxDraws = 0;
    bool prevSaturated = false, prevRndF = false, afterRaise = false;
    std::string freeLine, raiseLine;
    std::vector<std::string> problems;

    void problem(const std::string& p) {
        if (problems.size() < 10) problems.push_back(p);
    }
    void endFrame() {
        if (acts == 0) return;
        if (mouse1 != 1 && !afterRaise) problem("frame " + std::to_string(acts) + ": Mouse 1 called " + std::to_string(mouse1) + " times");
        if ((mouse0 < 1 || mouse0 > 2) && !afterRaise) problem("frame " + std::to_string(acts) + ": Mouse 0 called " + std::to_string(mouse0) + " times");
        if (draws > 30) problem("frame " + std::to_string(acts) + ": " + std::to_string(draws) + " DrawRects");
        maxDraws = std::max(maxDraws, draws);
        const bool saturated = draws == 30;
        saturatedFrames += saturated;
        saturations += saturated && !prevSaturated;
        prevSaturated = saturated;
        draws = mouse0 = mouse1 = 0;
    }
    void line(const std::string& l) {
        const bool wasRndF = prevRndF;
        prevRndF = false;
        if (l.rfind("Act ", 0) == 0) {
            endFrame();
            if (std::strtoll(l.c_str() + 4, nullptr, 10) != acts + 1) problem("frame out of order: " + l);
            ++acts;
        } else if (l.rfind("DrawRect ", 0) == 0) {
            ++draws;
            trembles += wasRndF;
        } else if (l.rfind("RndF -> ", 0) == 0) {
            ++rndF;
            prevRndF = true;
        } else if (l.rfind("Rnd 2 5 -> ", 0) == 0) {
            ++rnd;
            const long k = std::strtol(l.c_str() + 11, nullptr, 10);
            if (k < 2 || k > 5) problem("Rnd out of 2..5: " + l);
        } else if (l.rfind("Mouse 0 -> ", 0) == 0) {
            ++mouse0;
        } else if (l.rfind("Mouse 1 -> ", 0) == 0) {
            ++mouse1;
        } else if (l.rfind("AllocMem ", 0) == 0) {
            ++allocs;
            if (acts == 0) {
                ++allocsBeforeFirst;
            } else if (!afterRaise || l.find("\"skip\"") == std::string::npos) {
                ++allocsInLoop;
                problem("allocation in the frame loop: " + l);
            }
        } else if (l.rfind("FreeMem #", 0) == 0) {
            ++frees;
        } else if (l.rfind("raise ", 0) == 0) {
            ++raises;
            raiseLine = l;
            afterRaise = true;  // the frame of the raise ends there: no Mouse calls in it
            endFrame();
        } else if (l.rfind("Free live=", 0) == 0) {
            ++frees_;
            freeLine = l;
        } else if (l.rfind("MouseX -> ", 0) != 0 && l.rfind("MouseY -> ", 0) != 0 && l.rfind("Init ", 0) != 0) {
            problem("unexpected line: " + l);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s EXE FRAMES [SEED] [--no-rss]\n", argv[0]);
        return 2;
    }
    const std::string exe = argv[1];
    const int64_t frames = std::strtoll(argv[2], nullptr, 10);
    const uint64_t seed = argc > 3 && argv[3][0] != '-' ? std::strtoull(argv[3], nullptr, 0) : 1;
    bool checkRss = true;
    for (int i = 3; i < argc; ++i) checkRss = checkRss && std::strcmp(argv[i], "--no-rss") != 0;
    if (frames < 2000) {
        std::fprintf(stderr, "FRAMES must be at least 2000\n");
        return 2;
    }

    const std::string dir = test_support::tempDir("soak");
    const std::string scriptPath = dir + "/soak.script", fifo = dir + "/trace", errPath = dir + "/stderr";
    const Plan plan = makeScript(frames, seed);
    test_support::writeFile(scriptPath, plan.text);
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        std::perror("mkfifo");
        return 2;
    }
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const auto started = std::chrono::steady_clock::now();
    test_support::Command command;
    command.argv = {exe};
    command.env = test_support::childEnv("", {{"LUMEN_SCRIPT", scriptPath}, {"LUMEN_TRACE", fifo},
                                              {"LUMEN_SEED", std::to_string(seed)}});
    command.errPath = errPath;
    command.keepStdio = true;
    const pid_t child = test_support::spawn(command);

    Checker check;
    std::string pending;
    char buf[1 << 16];
    Rss rssFirst, rssMax, rssLast;
    long samples = 0;
    int64_t rssFirstFrame = 0;
    auto nextSample = std::chrono::steady_clock::now();
    int status = -1;
    bool exited = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 20);
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            pending.append(buf, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
                check.line(pending.substr(start, nl - start));
            pending.erase(0, start);
        }
        const auto now = std::chrono::steady_clock::now();
        if (!exited && check.acts >= 2 && now >= nextSample) {
            const Rss rss = residentKiB(child);
            if (rss.anon > 0) {
                if (rssFirst.anon < 0) {
                    rssFirst = rss;
                    rssFirstFrame = check.acts;
                }
                rssMax = {std::max(rssMax.anon, rss.anon), std::max(rssMax.file, rss.file)};
                rssLast = rss;
                ++samples;
            }
            nextSample = now + std::chrono::milliseconds(100);
        }
        if (n <= 0 && exited) break;
        if (n <= 0 && !exited) {
            if (waitpid(child, &status, WNOHANG) == child) exited = true;  // drain what is left, then stop
        }
    }
    close(fd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    check.endFrame();
    std::ifstream errIn(errPath);
    const std::string err((std::istreambuf_iterator<char>(errIn)), std::istreambuf_iterator<char>());
    std::remove(scriptPath.c_str());
    std::remove(fifo.c_str());
    std::remove(errPath.c_str());
    rmdir(dir.c_str());

    const int exitStatus = test_support::statusOf(status);
    if (exitStatus != 0) check.problem("exit status " + std::to_string(exitStatus));
    if (!err.empty()) check.problem("stderr: " + err.substr(0, 300));
    if (check.acts != frames) check.problem("frames " + std::to_string(check.acts) + ", not " + std::to_string(frames));
    if (check.allocsBeforeFirst != 66) check.problem("set-up allocations " + std::to_string(check.allocsBeforeFirst) + ", not 66");
    if (check.rndF != 4 * check.rnd + check.trembles)
        check.problem("RndF " + std::to_string(check.rndF) + " != 4 x " + std::to_string(check.rnd) + " raises + " +
                      std::to_string(check.trembles) + " trembles");
    if (check.raises != 1 || check.raiseLine != "raise 0 null") check.problem("raises: " + std::to_string(check.raises) + ", last " + check.raiseLine);
    if (check.frees_ != 1 || check.freeLine != "Free live=1") check.problem("Free: " + std::to_string(check.frees_) + " " + check.freeLine);
    if (check.frees != check.allocs) check.problem("blocks given out " + std::to_string(check.allocs) + ", given back " + std::to_string(check.frees));
    if (check.rnd >= plan.drags) check.problem("no drag was dropped: the slots never filled up");
    if (check.saturations * 2 < plan.rounds) check.problem("30 live towers in only " + std::to_string(check.saturations) + " of " + std::to_string(plan.rounds) + " rounds");
    // Only anonymous memory can show a leak; file pages grow as code first run late (the drop
    // of a drag while full, the end) is read in, 64 KiB at a time, and the kernel may drop them.
    if (checkRss && (rssFirst.anon < 0 || rssMax.anon - rssFirst.anon > 64))
        check.problem("anonymous resident memory grew after the first frame");

    std::printf("soak: %lld frames in %.1f s (%.0f frames/s), seed %llu, %lld rounds, %lld drags, %lld towers raised, "
                "%lld frames with 30 live towers (%lld times full), %lld trembling draws\n",
                static_cast<long long>(check.acts), seconds, static_cast<double>(check.acts) / seconds,
                static_cast<unsigned long long>(seed), static_cast<long long>(plan.rounds), static_cast<long long>(plan.drags),
                static_cast<long long>(check.rnd), static_cast<long long>(check.saturatedFrames),
                static_cast<long long>(check.saturations), static_cast<long long>(check.trembles));
    std::printf("soak: resident KiB anonymous + file: %ld + %ld at frame %lld, at most %ld + %ld, last %ld + %ld "
                "(%ld samples)\n", rssFirst.anon, rssFirst.file, static_cast<long long>(rssFirstFrame), rssMax.anon,
                rssMax.file, rssLast.anon, rssLast.file, samples);
    for (const std::string& p : check.problems) std::printf("soak: FAILED: %s\n", p.c_str());
    return check.problems.empty() ? 0 : 1;
}
