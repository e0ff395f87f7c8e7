// The viewer's controller mapping and motion; see game_controller.h.
#include "game_controller.h"

#include <algorithm>
#include <cmath>

#include "pointer_rule.h"

namespace kalmo {

namespace {

int mouse_bit(ControllerAction action) {
    switch (action) {
    case ControllerAction::kLeftClick: return 1;
    case ControllerAction::kRightClick: return 2;
    default: return 0;
    }
}

// One game pixel of a d-pad step, or 0, 0 for other actions.
void cursor_step(ControllerAction action, int &dx, int &dy) {
    dx = action == ControllerAction::kCursorRight ? 1 : action == ControllerAction::kCursorLeft ? -1 : 0;
    dy = action == ControllerAction::kCursorDown ? 1 : action == ControllerAction::kCursorUp ? -1 : 0;
}

}  // namespace

const std::vector<ControllerBinding> &default_controller_bindings() {
    static const std::vector<ControllerBinding> bindings = {
        {SDL_CONTROLLER_BUTTON_A, ControllerAction::kLeftClick},
        {SDL_CONTROLLER_BUTTON_B, ControllerAction::kRightClick},
        {SDL_CONTROLLER_BUTTON_X, ControllerAction::kKey, SDLK_ESCAPE},
        {SDL_CONTROLLER_BUTTON_Y, ControllerAction::kKey, SDLK_SPACE},
        {SDL_CONTROLLER_BUTTON_START, ControllerAction::kMenuKey},
        {SDL_CONTROLLER_BUTTON_BACK, ControllerAction::kKey, SDLK_RETURN},
        {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, ControllerAction::kWheelUp},
        {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, ControllerAction::kWheelDown},
        {SDL_CONTROLLER_BUTTON_DPAD_UP, ControllerAction::kCursorUp},
        {SDL_CONTROLLER_BUTTON_DPAD_DOWN, ControllerAction::kCursorDown},
        {SDL_CONTROLLER_BUTTON_DPAD_LEFT, ControllerAction::kCursorLeft},
        {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, ControllerAction::kCursorRight},
    };
    return bindings;
}

SDL_Keycode controller_menu_key(const std::string &core_message) {
    return is_scummvm_core(core_message) ? SDLK_F5 : SDLK_ESCAPE;
}

GameControllerInput::GameControllerInput(PointerTracker &pointer, std::function<void(SDL_Keycode, bool)> key)
    : pointer_(pointer), key_(std::move(key)) {}

GameControllerInput::~GameControllerInput() {
    for (SDL_GameController *controller : open_) SDL_GameControllerClose(controller);
}

bool GameControllerInput::handle_event(const SDL_Event &event, uint64_t now_ms) {
    switch (event.type) {
    case SDL_CONTROLLERDEVICEADDED: {
        // `which` is a device index here, an instance id everywhere else.
        SDL_GameController *controller = SDL_GameControllerOpen(event.cdevice.which);
        if (controller) open_.push_back(controller);
        return true;
    }
    case SDL_CONTROLLERDEVICEREMOVED: {
        SDL_GameController *controller = SDL_GameControllerFromInstanceID(event.cdevice.which);
        if (controller) {
            std::erase(open_, controller);
            SDL_GameControllerClose(controller);
        }
        // Which buttons were its own is not known: nothing stays held.
        release_all();
        return true;
    }
    case SDL_CONTROLLERAXISMOTION:
        if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTX) stick_[0] = event.caxis.value / 32767.0;
        if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTY) stick_[1] = event.caxis.value / 32767.0;
        return true;
    case SDL_CONTROLLERBUTTONDOWN:
        press(SDL_GameControllerButton(event.cbutton.button), now_ms);
        return true;
    case SDL_CONTROLLERBUTTONUP:
        release(SDL_GameControllerButton(event.cbutton.button));
        return true;
    default: return false;
    }
}

void GameControllerInput::press(SDL_GameControllerButton button, uint64_t now_ms) {
    const auto &bindings = default_controller_bindings();
    auto binding = std::find_if(bindings.begin(), bindings.end(),
                                [&](const ControllerBinding &b) { return b.button == button; });
    if (binding == bindings.end()) return;
    // A second controller pressing a button already down changes nothing.
    if (std::any_of(held_.begin(), held_.end(), [&](const Held &held) { return held.button == button; })) return;
    ControllerAction action = binding->action == ControllerAction::kMenuKey ? ControllerAction::kKey : binding->action;
    SDL_Keycode key = binding->action == ControllerAction::kMenuKey ? menu_key_ : binding->key;
    held_.push_back(Held{button, action, key, now_ms, 0});
    if (mouse_bit(action)) pointer_.set_button(mouse_bit(action), true);
    else if (action == ControllerAction::kWheelUp) pointer_.add_wheel(1);
    else if (action == ControllerAction::kWheelDown) pointer_.add_wheel(-1);
    else if (action == ControllerAction::kKey) key_(key, true);
    else step_cursor(held_.back(), now_ms);
}

void GameControllerInput::release(SDL_GameControllerButton button) {
    auto held = std::find_if(held_.begin(), held_.end(), [&](const Held &h) { return h.button == button; });
    if (held == held_.end()) return;
    if (mouse_bit(held->action)) pointer_.set_button(mouse_bit(held->action), false);
    if (held->action == ControllerAction::kKey) key_(held->key, false);
    held_.erase(held);
}

void GameControllerInput::release_all() {
    while (!held_.empty()) release(held_.front().button);
    stick_[0] = stick_[1] = 0;
    stick_out_ = false;
}

// One pixel at the press, then one every kDpadRepeatMs once kDpadDelayMs have passed.
void GameControllerInput::step_cursor(Held &held, uint64_t now_ms) {
    int dx = 0, dy = 0;
    cursor_step(held.action, dx, dy);
    if (!dx && !dy) return;
    uint64_t elapsed = now_ms - held.since;
    int due = 1 + (elapsed < kDpadDelayMs ? 0 : int((elapsed - kDpadDelayMs) / kDpadRepeatMs) + 1);
    int steps = due - held.steps;
    held.steps = due;
    if (steps > 0) pointer_.move_by(dx * steps, dy * steps);
}

void GameControllerInput::update(uint64_t now_ms) {
    for (Held &held : held_) step_cursor(held, now_ms);
    move_by_stick(now_ms);
    last_update_ = now_ms;
    updated_ = true;
}

void GameControllerInput::move_by_stick(uint64_t now_ms) {
    double length = std::hypot(stick_[0], stick_[1]);
    double deflection = std::min(length, 1.0);
    if (deflection <= kStickDeadZone) {
        stick_out_ = false;
        return;
    }
    if (!stick_out_) {
        stick_out_ = true;
        stick_since_ = now_ms;
    }
    uint64_t step = updated_ ? std::min(now_ms - last_update_, kLongestStepMs) : 0;
    double pushed = (deflection - kStickDeadZone) / (1 - kStickDeadZone);
    double ramp = 1 + (kStickAcceleration - 1) * std::min(double(now_ms - stick_since_) / kStickRampMs, 1.0);
    double distance = kStickSpeed * pushed * pushed * ramp * double(step) / 1000;
    pointer_.move_by(distance * stick_[0] / length, distance * stick_[1] / length);
}

}  // namespace kalmo
