// A scripted stand-in for the runtime library, installed in the program's entry-point cells:
// per-frame mouse input, queued random values, recorded rectangles and call order, and an
// AllocMem/FreeMem that counts blocks. The town's unit tests, its benchmark (recording off) and
// its fuzzer (input and random values from the fuzzer's bytes) all run against it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace standin {

// What the mouse reports from one Act to the next.
struct Input {
    int64_t left = 0;        // Mouse(0): 0 up, 1 just pressed, 2.. held
    int64_t right = 0;       // Mouse(1)
    double x = 0.0;          // MouseX, canvas px
    double y = 0.0;          // MouseY, canvas px
    int64_t leftAgain = -1;  // if >= 0: what the second Mouse(0) call of the frame reports
};

struct Rect {
    int64_t frame;  // number of the Act call before it
    double x, y, w, h, r, g, b, a;
};

struct StandIn {
    StandIn();   // installs itself in the entry-point cells
    ~StandIn();  // frees what is still allocated and clears the cells

    // Input of frame f (1-based) is frames[f - 1]; later frames report everything up.
    std::vector<Input> frames;
    std::deque<double> rndF;   // results of RndF in order; 0.5 once empty
    std::deque<int64_t> rnd;   // results of Rnd in order; 2 once empty
    int64_t endAfter = -1;     // if >= 0: Act number endAfter + 1 throws lumen::Fault{0, 0, 0}
    std::function<void(const std::string&)> onCall;  // called with every logged entry
    // If set: called at every Act with the new frame number (1-based); what it returns is what
    // the mouse reports until the next Act (`frames` is not read then).
    std::function<Input(int64_t frame)> inputOf;
    std::function<int64_t(int64_t lo, int64_t hi)> rndOf;  // if set: Rnd's results instead of `rnd`
    std::function<double()> rndFOf;                         // if set: RndF's results instead of `rndF`
    bool record = true;    // false: nothing logged or recorded (`calls`, `rects` stay empty)
    bool lumenMode = false;  // each call runs under Lumen's MXCSR and gives the caller's back with
                             // its exception flags cleared, as Lumen's guard does

    int64_t frame = 0;                 // Act calls so far
    std::vector<std::string> calls;    // "Act", "Mouse 0", "MouseX", "Rnd 2 5", "RndF", ...
    std::vector<Rect> rects;           // DrawRect calls
    int64_t allocs = 0;                // AllocMem calls
    int64_t allocsAtFirstAct = -1;     // AllocMem calls before the first Act
    std::set<void*> live;              // blocks not yet freed
    int64_t badFrees = 0;              // FreeMem of blocks not live

    // The logged calls made after Act number f and before the next Act.
    std::vector<std::string> callsInFrame(int64_t f) const;
    // The rectangles drawn in frame f.
    std::vector<Rect> rectsInFrame(int64_t f) const;
    // Number of logged entries equal to `name`.
    int64_t count(const std::string& name) const;
    void clearLog();

    void log(std::string entry);
    Input held;  // what the mouse reports in this frame when `inputOf` is set
};

}  // namespace standin
