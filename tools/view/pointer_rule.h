// How the viewer keeps the game's cursor under the player's hand.
//
// The hand is tracked in game pixels: window (logical) pixels scaled by the
// frame's width over the picture's shown width, counting the density of a
// high-DPI drawable, with fractions kept. The core is sent relative motion
// and its cursor is modelled by the rule the ScummVM core follows, per axis
// at each input poll of the summed delta d: when d's sign differs from the
// sign of the remainder r, r becomes 0; r += d * gain (float); the whole
// part of r toward zero moves the cursor, clamped to 0..screen size, and
// leaves r. The gain is 1 / speed, so the motion sent is the hand's times
// the speed: ScummVM's fixed 0.9 is undone by the default speed of 1/0.9
// for that core, and others get 1. Each motion line is chosen so that the
// modelled cursor lands on the hand's pixel, so fractions lost at a change
// of direction do not add up to drift. A zero d leaves an axis alone.
//
// The host sums all motion lines read before a poll, so a line that turns
// an axis around is held until two frames have been shown since the last
// line on that axis (the two must not share a poll, or the reset above
// would not happen). Bringing the cursor under the hand (on capture, on
// entry, when the frame size changes) is two lines in different polls: a
// large negative motion pins a clamping core's cursor at the top-left, and
// three shown frames later the move to the hand's pixel. Shown frames only
// make a shared poll unlikely: a host or a writer thread starved for longer
// still sums the two, which costs a pixel at a turn and the whole move
// after a pin, until the next one.
#pragma once

#include <cstdint>
#include <string>

namespace kalmo {

// Whether a "core" status message such as "ScummVM 2.8.0 · API 1" names
// the library ScummVM, whose defaults differ from other cores'.
bool is_scummvm_core(const std::string &core_message);
// The motion speed for a core: 1/0.9 for ScummVM, else 1.
double default_pointer_speed(const std::string &core_message);

// Where the picture is drawn: window sizes in logical pixels (what mouse
// events use), the drawable in device pixels, the picture's rectangle in
// drawable pixels, and the frame's size.
struct PictureGeometry {
    int window_width = 0, window_height = 0;
    int drawable_width = 0, drawable_height = 0;
    int picture_x = 0, picture_y = 0, picture_width = 0, picture_height = 0;
    uint32_t frame_width = 0, frame_height = 0;
};

// A window position in game pixels (fractions kept), clamped into the
// frame; false when it lies outside the picture or nothing is shown yet.
bool window_to_game(const PictureGeometry &geometry, double window_x, double window_y, double &game_x,
                    double &game_y);
// How many game pixels one window pixel of motion covers.
void game_pixels_per_window_pixel(const PictureGeometry &geometry, double &x, double &y);

// One axis of the core's cursor as the rule above moves it.
struct CursorAxis {
    int position = 0;
    float remainder = 0;
    int limit = 0;
    void apply(int delta, float gain);
};

// The delta that brings `axis` to `target` (the closest it can get when
// none does), leaving the remainder as far from a whole number as it can,
// so that the core's own rounding lands on the same pixel as the model's.
int delta_to_reach(const CursorAxis &axis, int target, float gain);

class PointerRule {
public:
    // The motion multiplier; the model's gain is its inverse.
    void set_speed(double speed);
    double speed() const { return speed_; }
    // A new frame size; a change of a known one brings the cursor under the
    // hand again, since the core's cursor space changed with it.
    void set_frame_size(uint32_t width, uint32_t height);
    // The hand is at this game position (follow mode).
    void move_to(double x, double y);
    // The hand moved by this many game pixels (captured mode).
    void move_by(double dx, double dy);
    // The hand is at this game position, and the cursor must come under it.
    void bring_under(double x, double y);
    // The motion line to send now, `frames` being the count of frames shown
    // so far; false when there is none.
    bool take_motion(uint64_t frames, int &dx, int &dy);
    // True from bring_under() until the move that follows the pin is sent.
    bool bringing_under() const { return stage_ != Stage::kNone; }
    // The hand's pixel, for the pointer fields of the mouse line.
    int hand_x() const;
    int hand_y() const;

private:
    enum class Stage { kNone, kPinPending, kPinSent };
    // A merged pin loses the whole move, so it waits a frame longer than a turn.
    static constexpr uint64_t kFramesAfterPin = 3;
    // One axis's delta toward the hand, or 0 while a turn must wait.
    int axis_delta(int axis, uint64_t frames) const;

    double speed_ = 1;
    float gain_ = 1;
    uint32_t width_ = 0, height_ = 0;
    double hand_[2] = {0, 0};
    CursorAxis cursor_[2];
    int last_sign_[2] = {0, 0};
    uint64_t last_frame_[2] = {0, 0};
    Stage stage_ = Stage::kNone;
    uint64_t pin_frame_ = 0;
};

}  // namespace kalmo
