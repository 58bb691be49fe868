// Mouse input as the program sees it: the pointer and two buttons, sampled once per Act.
#pragma once

#include <cstdint>
#include <deque>

namespace lumen {

// Raw input of one moment: what a backend or the script says.
struct InputState {
    double x = 0.0;             // canvas px
    double y = 0.0;             // canvas px
    bool down[2] = {false, false};  // [0] left, [1] right
    // The window asked for a picture of the canvas (F12) since the Session last looked: not the
    // program's input, never recorded or played.
    bool pictureAsked = false;
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

// A window's pointer and button events, in the order the system delivered them, handed out one
// frame at a time so that no press or release is lost: within a frame each button changes at
// most once (a press and its release in one frame read down in that frame and up in the next;
// a later press waits for a later frame).
class InputQueue {
public:
    // The pointer moved to (x, y) canvas px.
    void pointer(double x, double y) {
        x_ = x;
        y_ = y;
    }
    // Button b (0 left, 1 right) went down or up with the pointer at (x, y) canvas px.
    void button(int b, bool down, double x, double y) {
        pointer(x, y);
        if (b == 0 || b == 1) {
            events_.push_back(Event{x, y, b, down});
            held_[b] = down;
        }
    }
    // The user asked for a picture of the canvas (F12); the next take() hands it on.
    void askPicture() { pictureAsked_ = true; }
    // Button b went down or up with the pointer where it last was.
    void button(int b, bool down) { button(b, down, x_, y_); }
    // Whether button b (0 left, 1 right) is down as the system last said, taken or not: a
    // window keeps the pointer captured while any is.
    bool held(int b) const { return (b == 0 || b == 1) && held_[b]; }
    bool anyHeld() const { return held_[0] || held_[1]; }
    // Brings `state` to the next frame: the queued events that fit in it, and the pointer where
    // the last of them happened while more wait, else where it is now.
    void take(InputState& state) {
        bool changed[2] = {false, false};
        bool consumed = false;
        double x = x_;
        double y = y_;
        while (!events_.empty()) {
            const Event& e = events_.front();
            if (state.down[e.button] != e.down) {
                if (changed[e.button]) break;
                state.down[e.button] = e.down;
                changed[e.button] = true;
            }
            x = e.x;
            y = e.y;
            consumed = true;
            events_.pop_front();
        }
        if (events_.empty() || !consumed) {
            x = x_;
            y = y_;
        }
        state.x = x;
        state.y = y;
        state.pictureAsked = state.pictureAsked || pictureAsked_;
        pictureAsked_ = false;
    }
    void clear() { *this = InputQueue{}; }

private:
    struct Event {
        double x, y;  // canvas px
        int button;
        bool down;
    };
    std::deque<Event> events_;
    double x_ = 0.0;               // canvas px
    double y_ = 0.0;               // canvas px
    bool held_[2] = {false, false};  // [0] left, [1] right, as last delivered
    bool pictureAsked_ = false;
};

}  // namespace lumen
