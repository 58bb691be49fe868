// The built-in demo script: it parses, and played through a model of the town's rules it does
// what it claims (30 slots filled, a drag dropped while full, several towers tipped over, a
// freed slot reused, many widths) in about 20 seconds at 60 frames per second.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <set>

#include "run/demo_script.h"
#include "run/input.h"
#include "run/script.h"

namespace {

// The town as far as the demo's claims go: slots, raise frames and footprints.
struct Tower {
    double x = 0, width = 0;
    int64_t raised = 0;                  // frame of raiseTower
    std::optional<int64_t> clicked;      // frame of the collapsing right click
    bool everUsed = false;
};

struct Outcome {
    int raised = 0, dropped = 0, tipped = 0, reused = 0, maxTippedByOneClick = 0;
    int64_t lastFrame = 0;
    std::set<double> widths;
};

Outcome play(const lumen::Script& script) {
    constexpr int kSlots = 30;
    constexpr int64_t kStandsAfter = 156;  // first frame a click finds it Standing
    constexpr int64_t kFreedAfter = 601;   // update of click + 601 frees the slot
    std::array<std::optional<Tower>, kSlots> slots;
    std::array<bool, kSlots> used{};
    Outcome out;
    lumen::InputState input;
    lumen::MouseSampler mouse;
    std::size_t next = 0;
    bool dragging = false;
    double startX = 0;
    for (int64_t frame = 1; frame < script.quitFrame; ++frame) {
        while (next < script.commands.size() && script.commands[next].frame == frame) {
            const lumen::ScriptCommand& c = script.commands[next++];
            if (c.op == lumen::ScriptOp::Move) input.x = c.x, input.y = c.y;
            if (c.op == lumen::ScriptOp::Press) input.down[c.button] = true;
            if (c.op == lumen::ScriptOp::Release) input.down[c.button] = false;
            EXPECT_TRUE(c.op != lumen::ScriptOp::Fault && c.op != lumen::ScriptOp::Crash);
        }
        mouse.sample(input);
        if (mouse.button(0) == 1) startX = mouse.x(), dragging = true;
        if (dragging && mouse.button(0) == 0) {
            dragging = false;
            double w = mouse.x() - startX;
            double left = startX;
            if (!(w > 0)) left = mouse.x(), w = -w;
            if (w < 100) w = 100;
            bool placed = false;
            for (int i = 0; i < kSlots && !placed; ++i) {
                if (slots[i]) continue;
                out.reused += used[i];
                used[i] = true;
                slots[i] = Tower{left, w, frame, std::nullopt, true};
                out.widths.insert(w);
                ++out.raised;
                placed = true;
            }
            out.dropped += !placed;
        }
        if (mouse.button(1) == 1) {
            int hits = 0;
            for (auto& t : slots) {
                if (!t || t->clicked || frame < t->raised + kStandsAfter) continue;
                // Standing towers reach from above y = 848 down to the ground: y = 880 is inside.
                EXPECT_EQ(mouse.y(), 880.0);
                if (t->x < mouse.x() && mouse.x() < t->x + t->width) t->clicked = frame, ++hits;
            }
            out.tipped += hits;
            out.maxTippedByOneClick = std::max(out.maxTippedByOneClick, hits);
        }
        for (auto& t : slots)
            if (t && t->clicked && frame == *t->clicked + kFreedAfter) t.reset();
        out.lastFrame = frame;
    }
    return out;
}

}  // namespace

TEST(DemoScript, ParsesAndDoesWhatItsCommentsSay) {
    const lumen::ScriptParse p = lumen::parseScript(lumen::demoScript());
    ASSERT_TRUE(p.ok()) << lumen::scriptErrorText(lumen::kDemoScriptName, *p.error);
    EXPECT_EQ(p.script.seed, 1u);
    // About 20 seconds at 60 frames per second.
    EXPECT_GE(p.script.quitFrame, 1100);
    EXPECT_LE(p.script.quitFrame, 1300);
    const Outcome out = play(p.script);
    EXPECT_EQ(out.raised, 35);
    EXPECT_EQ(out.dropped, 2);           // the 31st drag, and one while towers still fall
    EXPECT_EQ(out.tipped, 14);
    EXPECT_GE(out.maxTippedByOneClick, 5);
    EXPECT_EQ(out.reused, 5);            // slots taken again after their collapse
    EXPECT_GE(out.widths.size(), 20u);   // towers of many widths
    EXPECT_TRUE(out.widths.count(100.0)); // narrow drags (and the zero-width one) give 100
}
