// Gathers SDL mouse events into the host's mouse lines: the motion the
// pointer rule chooses, wheel steps summed since the last line, the buttons
// held, and the hand in frame pixels with whether it is over the picture.
// The host passes on button state, not clicks, so a press is reported for
// at least two frames even when the button is already up again. With the
// mouse captured (relative mode) the hand is a virtual one moved by the
// motion and kept inside the frame; without capture it is where the system
// cursor is. While the cursor is being brought under the hand, buttons and
// wheel wait for the move, so the click that captured lands where it was
// made.
#pragma once

#include <SDL.h>

#include <string>

#include "pointer_rule.h"

namespace kalmo {

// The fields of one mouse command, in the host's order.
struct MouseState {
    int dx = 0, dy = 0, buttons = 0, wheel = 0, px = 0, py = 0, inside = 0;
    bool operator==(const MouseState &) const = default;
};

class PointerTracker {
public:
    void set_speed(double speed) { rule_.set_speed(speed); }
    double speed() const { return rule_.speed(); }
    void set_frame_size(uint32_t width, uint32_t height) { rule_.set_frame_size(width, height); }
    void on_motion(const SDL_MouseMotionEvent &event, const PictureGeometry &geometry, bool captured);
    void on_button(const SDL_MouseButtonEvent &event);
    void on_wheel(const SDL_MouseWheelEvent &event);
    // The same for other input sources (a game controller): the hand moved
    // by game pixels, fractions kept, and is over the picture; a button bit
    // (1 left, 2 right, 4 middle) went down or up; wheel steps, up positive.
    void move_by(double dx, double dy);
    void set_button(int bit, bool down);
    void add_wheel(int steps) { wheel_ += steps; }
    // The system cursor left the window (only counts without capture).
    void on_leave(bool captured);
    // The hand is at this window position (the picture's centre when it is
    // not over the window): the game's cursor is brought under it.
    void bring_under(double window_x, double window_y, const PictureGeometry &geometry, bool captured);
    // The mouse command to send, or false when nothing changed since the
    // last one. `frames` counts the frames shown so far.
    bool take_state(uint64_t frames, MouseState &state);

private:
    PointerRule rule_;
    int wheel_ = 0;
    int buttons_ = 0;
    // Pressed bits still reported, and the frame count when each was first sent.
    int latched_ = 0, unsent_presses_ = 0;
    uint64_t press_sent_at_[3] = {0, 0, 0};
    bool inside_ = false;
    int sent_buttons_ = 0, sent_px_ = 0, sent_py_ = 0;
    bool sent_inside_ = false;
};

}  // namespace kalmo
