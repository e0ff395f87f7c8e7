// The viewer's pointer rule; see pointer_rule.h.
#include "pointer_rule.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kalmo {

namespace {

double clamp(double value, double low, double high) { return value < low ? low : value > high ? high : value; }

// The remainder just before its whole part is taken, as the core computes it.
float accumulated(const CursorAxis &axis, int delta, float gain) {
    float remainder = axis.remainder;
    if ((delta > 0 && remainder < 0) || (delta < 0 && remainder > 0)) remainder = 0;
    return remainder + float(delta) * gain;
}

}  // namespace

bool is_scummvm_core(const std::string &core_message) {
    // The message is the library name, its version if any, then " · API N".
    return core_message.rfind("ScummVM ", 0) == 0;
}

double default_pointer_speed(const std::string &core_message) { return is_scummvm_core(core_message) ? 1 / 0.9 : 1; }

bool window_to_game(const PictureGeometry &geometry, double window_x, double window_y, double &game_x,
                    double &game_y) {
    game_x = game_y = 0;
    if (!geometry.frame_width || !geometry.frame_height || geometry.picture_width <= 0 || geometry.picture_height <= 0)
        return false;
    double density_x = geometry.window_width > 0 ? double(geometry.drawable_width) / geometry.window_width : 1;
    double density_y = geometry.window_height > 0 ? double(geometry.drawable_height) / geometry.window_height : 1;
    double x = (window_x * density_x - geometry.picture_x) * geometry.frame_width / geometry.picture_width;
    double y = (window_y * density_y - geometry.picture_y) * geometry.frame_height / geometry.picture_height;
    bool inside = x >= 0 && y >= 0 && x < geometry.frame_width && y < geometry.frame_height;
    game_x = clamp(x, 0, geometry.frame_width - 1.0);
    game_y = clamp(y, 0, geometry.frame_height - 1.0);
    return inside;
}

void game_pixels_per_window_pixel(const PictureGeometry &geometry, double &x, double &y) {
    double density_x = geometry.window_width > 0 ? double(geometry.drawable_width) / geometry.window_width : 1;
    double density_y = geometry.window_height > 0 ? double(geometry.drawable_height) / geometry.window_height : 1;
    x = geometry.picture_width > 0 && geometry.frame_width ? density_x * geometry.frame_width / geometry.picture_width : 1;
    y = geometry.picture_height > 0 && geometry.frame_height
            ? density_y * geometry.frame_height / geometry.picture_height
            : 1;
}

void CursorAxis::apply(int delta, float gain) {
    if (delta == 0) return;
    remainder = accumulated(*this, delta, gain);
    int whole = int(remainder);
    position = std::clamp(position + whole, 0, limit);
    remainder -= float(whole);
}

int delta_to_reach(const CursorAxis &axis, int target, float gain) {
    target = std::clamp(target, 0, axis.limit);
    if (target == axis.position || gain <= 0) return 0;
    double estimate = (target - axis.position) / double(gain);
    int spread = int(std::ceil(1 / gain)) + 2;
    int low = int(std::floor(estimate)) - spread, high = int(std::ceil(estimate)) + spread;
    int best = 0, best_miss = std::abs(target - axis.position);
    double best_margin = -1;
    for (int delta = low; delta <= high; delta++) {
        if (delta == 0) continue;
        CursorAxis moved = axis;
        moved.apply(delta, gain);
        int miss = std::abs(target - moved.position);
        double value = accumulated(axis, delta, gain);
        double margin = std::fabs(value - std::round(value));
        bool better = miss < best_miss || (miss == best_miss && margin > best_margin + 1e-4) ||
                      (miss == best_miss && std::fabs(margin - best_margin) <= 1e-4 && std::abs(delta) < std::abs(best));
        if (!better) continue;
        best = delta;
        best_miss = miss;
        best_margin = margin;
    }
    return best;
}

void PointerRule::set_speed(double speed) {
    speed_ = speed;
    gain_ = float(1 / speed);
}

void PointerRule::set_frame_size(uint32_t width, uint32_t height) {
    if (width == width_ && height == height_) return;
    bool known = width_ && height_;
    width_ = width;
    height_ = height;
    cursor_[0].limit = int(width);
    cursor_[1].limit = int(height);
    move_to(hand_[0], hand_[1]);
    if (known) stage_ = Stage::kPinPending;
}

void PointerRule::move_to(double x, double y) {
    // Kept as given until the frame's size is known.
    hand_[0] = width_ ? clamp(x, 0, width_ - 1.0) : x;
    hand_[1] = height_ ? clamp(y, 0, height_ - 1.0) : y;
}

void PointerRule::move_by(double dx, double dy) { move_to(hand_[0] + dx, hand_[1] + dy); }

void PointerRule::bring_under(double x, double y) {
    move_to(x, y);
    stage_ = Stage::kPinPending;
}

int PointerRule::hand_x() const { return int(std::floor(hand_[0])); }
int PointerRule::hand_y() const { return int(std::floor(hand_[1])); }

int PointerRule::axis_delta(int axis, uint64_t frames) const {
    int delta = delta_to_reach(cursor_[axis], int(std::floor(hand_[axis])), gain_);
    int sign = delta > 0 ? 1 : delta < 0 ? -1 : 0;
    // With a gain of 1 the remainder stays 0, so a merged turn changes nothing.
    if (gain_ != 1 && sign == -last_sign_[axis] && frames < last_frame_[axis] + 2) return 0;
    return delta;
}

bool PointerRule::take_motion(uint64_t frames, int &dx, int &dy) {
    if (!width_ || !height_) return false;
    if (stage_ == Stage::kPinPending) {
        // Twice the screen in the core's units, well inside the 16-bit
        // range the host passes motion in even if other lines join it.
        double reach = 2 * (std::max(width_, height_) + 1.0) * speed_;
        dx = dy = -int(std::min(std::ceil(reach), 16000.0));
        for (int axis = 0; axis < 2; axis++) {
            // A remainder the pin leaves is negative, and the next move is
            // toward the hand, so positive: the core drops it.
            cursor_[axis].position = 0;
            cursor_[axis].remainder = 0;
            last_sign_[axis] = -1;
            last_frame_[axis] = frames;
        }
        stage_ = Stage::kPinSent;
        pin_frame_ = frames;
        return true;
    }
    if (stage_ == Stage::kPinSent) {
        if (frames < pin_frame_ + kFramesAfterPin) return false;
        stage_ = Stage::kNone;
    }
    int delta[2] = {axis_delta(0, frames), axis_delta(1, frames)};
    if (delta[0] == 0 && delta[1] == 0) return false;
    for (int axis = 0; axis < 2; axis++) {
        if (delta[axis] == 0) continue;
        cursor_[axis].apply(delta[axis], gain_);
        last_sign_[axis] = delta[axis] > 0 ? 1 : -1;
        last_frame_[axis] = frames;
    }
    dx = delta[0];
    dy = delta[1];
    return true;
}

}  // namespace kalmo
