// The viewer's game controllers, through SDL's game controller API (any
// pad SDL knows a mapping for, opened as it is plugged in), turned into the
// viewer's two input paths, with the browser player's default mapping: the
// left stick and the d-pad move the hand in game pixels through the
// pointer tracker (so the pointer rule moves the core's cursor, fractions
// kept); A and B are the left and right buttons, the shoulders the wheel;
// X, Y, Back and Start are keys, handed to the viewer's key path (with its
// hold) as SDL key codes. A button never moves the hand, so a click lands
// where the cursor is.
//
// The stick does nothing inside a round dead zone. Beyond it the speed grows
// with the square of the deflection, so a small push is fine control, and
// while the stick stays out it rises from 1 to kStickAcceleration times
// over kStickRampMs. A d-pad press moves one game pixel, and after
// kDpadDelayMs held one more every kDpadRepeatMs. Several controllers act
// as one. Times are milliseconds on any monotonic clock.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pointer_tracker.h"

namespace kalmo {

enum class ControllerAction {
    kLeftClick, kRightClick, kWheelUp, kWheelDown,
    kCursorUp, kCursorDown, kCursorLeft, kCursorRight,
    kKey,      // the binding's key
    kMenuKey,  // the core's menu key (controller_menu_key)
};

struct ControllerBinding {
    SDL_GameControllerButton button;
    ControllerAction action;
    SDL_Keycode key = SDLK_UNKNOWN;
};

// The default mapping: A left click, B right click, X Esc, Y Space, Start
// the menu key, Back Enter, left shoulder wheel up, right wheel down, the
// d-pad one pixel a press.
const std::vector<ControllerBinding> &default_controller_bindings();

// The key that opens the game's own menu: F5 (ScummVM's main menu) for
// ScummVM, Esc for other cores.
SDL_Keycode controller_menu_key(const std::string &core_message);

class GameControllerInput {
public:
    static constexpr double kStickDeadZone = 0.2;
    // Game pixels a second at full deflection, before the acceleration.
    static constexpr double kStickSpeed = 90;
    static constexpr double kStickAcceleration = 3;
    static constexpr uint64_t kStickRampMs = 800;
    static constexpr uint64_t kDpadDelayMs = 300;
    static constexpr uint64_t kDpadRepeatMs = 50;
    // A longer gap between updates (a stalled loop) moves no further.
    static constexpr uint64_t kLongestStepMs = 100;

    // `key(code, down)` sends a key through the viewer's key path.
    GameControllerInput(PointerTracker &pointer, std::function<void(SDL_Keycode, bool)> key);
    ~GameControllerInput();
    void set_menu_key(SDL_Keycode key) { menu_key_ = key; }
    // Takes SDL's controller events (device added or removed, axis, button);
    // false for any other event.
    bool handle_event(const SDL_Event &event, uint64_t now_ms);
    // Moves the hand by the stick since the last update and repeats held
    // d-pad steps; called once a loop.
    void update(uint64_t now_ms);
    // Releases every button and key a controller holds.
    void release_all();

private:
    struct Held {
        SDL_GameControllerButton button;
        ControllerAction action;
        SDL_Keycode key;
        uint64_t since;
        int steps;
    };
    void press(SDL_GameControllerButton button, uint64_t now_ms);
    void release(SDL_GameControllerButton button);
    void step_cursor(Held &held, uint64_t now_ms);
    void move_by_stick(uint64_t now_ms);

    PointerTracker &pointer_;
    std::function<void(SDL_Keycode, bool)> key_;
    SDL_Keycode menu_key_ = SDLK_ESCAPE;
    std::vector<SDL_GameController *> open_;
    std::vector<Held> held_;
    // The left stick, -1..1 each way, as the last event left it.
    double stick_[2] = {0, 0};
    bool stick_out_ = false;
    uint64_t stick_since_ = 0, last_update_ = 0;
    bool updated_ = false;
};

}  // namespace kalmo
