// Mouse input as the program sees it: the pointer and two buttons, sampled once per Act.
#pragma once

#include <cstdint>

namespace lumen {

// Raw input of one moment: what a backend or the script says.
struct InputState {
    double x = 0.0;             // canvas px
    double y = 0.0;             // canvas px
    bool down[2] = {false, false};  // [0] left, [1] right
};

// Mouse(b) of one button: 0 while up, 1 in the first sampled frame down, then 2, 3, ...
// (frames held), saturating at INT64_MAX.
class ButtonCounter {
public:
    explicit ButtonCounter(int64_t start = 0) : count_(start) {}
    void sample(bool down) {
        if (!down) {
            count_ = 0;
        } else if (count_ < INT64_MAX) {
            ++count_;
        }
    }
    int64_t value() const { return count_; }

private:
    int64_t count_;
};

// What Mouse, MouseX and MouseY report between two Acts.
class MouseSampler {
public:
    // Takes the state of this Act; it holds until the next sample.
    void sample(const InputState& input) {
        x_ = input.x;
        y_ = input.y;
        buttons_[0].sample(input.down[0]);
        buttons_[1].sample(input.down[1]);
    }
    // b: 0 left, 1 right; any other value gives 0.
    int64_t button(int64_t b) const { return b == 0 || b == 1 ? buttons_[b].value() : 0; }
    double x() const { return x_; }  // canvas px
    double y() const { return y_; }  // canvas px

private:
    double x_ = 0.0;
    double y_ = 0.0;
    ButtonCounter buttons_[2];
};

}  // namespace lumen
