// Mouse state for the viewer's M lines; see pointer_tracker.h.
#include "pointer_tracker.h"

namespace kalmo {

namespace {

int button_bit(Uint8 button) {
    switch (button) {
    case SDL_BUTTON_LEFT: return 1;
    case SDL_BUTTON_RIGHT: return 2;
    case SDL_BUTTON_MIDDLE: return 4;
    default: return 0;
    }
}

}  // namespace

void PointerTracker::on_motion(const SDL_MouseMotionEvent &event, const PictureGeometry &geometry, bool captured) {
    if (captured) {
        double scale_x = 1, scale_y = 1;
        game_pixels_per_window_pixel(geometry, scale_x, scale_y);
        rule_.move_by(event.xrel * scale_x, event.yrel * scale_y);
        inside_ = true;
        return;
    }
    double x = 0, y = 0;
    inside_ = window_to_game(geometry, event.x, event.y, x, y);
    rule_.move_to(x, y);
}

void PointerTracker::on_button(const SDL_MouseButtonEvent &event) {
    set_button(button_bit(event.button), event.state == SDL_PRESSED);
}

void PointerTracker::on_wheel(const SDL_MouseWheelEvent &event) {
    add_wheel(event.direction == SDL_MOUSEWHEEL_FLIPPED ? -event.y : event.y);
}

void PointerTracker::move_by(double dx, double dy) {
    rule_.move_by(dx, dy);
    inside_ = true;
}

void PointerTracker::set_button(int bit, bool down) {
    if (down) {
        buttons_ |= bit;
        latched_ |= bit;
        unsent_presses_ |= bit;
    } else
        buttons_ &= ~bit;
}

void PointerTracker::on_leave(bool captured) {
    if (!captured) inside_ = false;
}

void PointerTracker::bring_under(double window_x, double window_y, const PictureGeometry &geometry, bool captured) {
    double x = 0, y = 0;
    inside_ = window_to_game(geometry, window_x, window_y, x, y) || captured;
    rule_.bring_under(x, y);
}

bool PointerTracker::take_state(uint64_t frames, MouseState &state) {
    int dx = 0, dy = 0;
    bool moved = rule_.take_motion(frames, dx, dy);
    if (rule_.bringing_under()) {
        if (!moved) return false;
        state = MouseState{dx, dy, sent_buttons_, 0, sent_px_, sent_py_, sent_inside_ ? 1 : 0};
        return true;
    }
    int px = rule_.hand_x(), py = rule_.hand_y();
    for (int i = 0; i < 3; i++) {
        int bit = 1 << i;
        if ((latched_ & bit) && !(unsent_presses_ & bit) && frames >= press_sent_at_[i] + 2) latched_ &= ~bit;
    }
    int reported = buttons_ | latched_;
    bool changed = moved || wheel_ != 0 || reported != sent_buttons_ || px != sent_px_ || py != sent_py_ ||
                   inside_ != sent_inside_;
    if (!changed) return false;
    state = MouseState{dx, dy, reported, wheel_, px, py, inside_ ? 1 : 0};
    for (int i = 0; i < 3; i++)
        if (unsent_presses_ & (1 << i)) press_sent_at_[i] = frames;
    unsent_presses_ = 0;
    wheel_ = 0;
    sent_buttons_ = reported;
    sent_px_ = px;
    sent_py_ = py;
    sent_inside_ = inside_;
    return true;
}

}  // namespace kalmo
