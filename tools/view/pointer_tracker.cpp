// Mouse state for the viewer's M lines; see pointer_tracker.h.
#include "pointer_tracker.h"

namespace kalmo {

namespace {

double clamp(double value, double low, double high) { return value < low ? low : value > high ? high : value; }

int button_bit(Uint8 button) {
    switch (button) {
    case SDL_BUTTON_LEFT: return 1;
    case SDL_BUTTON_RIGHT: return 2;
    case SDL_BUTTON_MIDDLE: return 4;
    default: return 0;
    }
}

}  // namespace

void PointerTracker::on_motion(const SDL_MouseMotionEvent &event, const ViewerWindow &window, bool captured) {
    dx_ += event.xrel;
    dy_ += event.yrel;
    if (!captured) {
        inside_ = window.to_frame(event.x, event.y, px_, py_);
        return;
    }
    double scale_x = 1, scale_y = 1;
    window.frame_pixels_per_window_pixel(scale_x, scale_y);
    double right = window.frame_width() ? window.frame_width() - 1.0 : 0, bottom = window.frame_height() ? window.frame_height() - 1.0 : 0;
    virtual_x_ = clamp(virtual_x_ + event.xrel * scale_x, 0, right);
    virtual_y_ = clamp(virtual_y_ + event.yrel * scale_y, 0, bottom);
    px_ = int(virtual_x_);
    py_ = int(virtual_y_);
    inside_ = true;
}

void PointerTracker::on_button(const SDL_MouseButtonEvent &event) {
    int bit = button_bit(event.button);
    if (event.state == SDL_PRESSED) {
        buttons_ |= bit;
        latched_ |= bit;
        unsent_presses_ |= bit;
    } else
        buttons_ &= ~button_bit(event.button);
}

void PointerTracker::on_wheel(const SDL_MouseWheelEvent &event) {
    wheel_ += event.direction == SDL_MOUSEWHEEL_FLIPPED ? -event.y : event.y;
}

void PointerTracker::on_leave(bool captured) {
    if (!captured) inside_ = false;
}

void PointerTracker::centre(const ViewerWindow &window) {
    virtual_x_ = window.frame_width() / 2.0;
    virtual_y_ = window.frame_height() / 2.0;
    px_ = int(virtual_x_);
    py_ = int(virtual_y_);
    inside_ = true;
}

bool PointerTracker::take_state(uint64_t frames, MouseState &state) {
    for (int i = 0; i < 3; i++) {
        int bit = 1 << i;
        if ((latched_ & bit) && !(unsent_presses_ & bit) && frames >= press_sent_at_[i] + 2) latched_ &= ~bit;
    }
    int reported = buttons_ | latched_;
    bool changed = dx_ != 0 || dy_ != 0 || wheel_ != 0 || reported != sent_buttons_ || px_ != sent_px_ ||
                   py_ != sent_py_ || inside_ != sent_inside_;
    if (!changed) return false;
    state = MouseState{dx_, dy_, reported, wheel_, px_, py_, inside_ ? 1 : 0};
    for (int i = 0; i < 3; i++)
        if (unsent_presses_ & (1 << i)) press_sent_at_[i] = frames;
    unsent_presses_ = 0;
    dx_ = dy_ = wheel_ = 0;
    sent_buttons_ = reported;
    sent_px_ = px_;
    sent_py_ = py_;
    sent_inside_ = inside_;
    return true;
}

}  // namespace kalmo
