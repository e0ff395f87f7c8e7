// kalmo-view's game controllers without a controller: SDL's controller
// events made by hand, fed to the same entry the viewer uses, on a fake
// clock, and a virtual controller of SDL's own for plugging in and out.
// What comes out is what the core would get: the pointer tracker's mouse
// lines (the hand in game pixels, buttons, wheel) and the keys handed to
// the key path.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "game_controller.h"
#include "pointer_tracker.h"

namespace {

using kalmo::GameControllerInput;
using kalmo::MouseState;
using Keys = std::vector<std::pair<SDL_Keycode, bool>>;

struct Rig {
    kalmo::PointerTracker pointer;
    Keys keys;
    GameControllerInput controllers{pointer, [this](SDL_Keycode key, bool down) { keys.emplace_back(key, down); }};
    uint64_t frames = 0;

    explicit Rig(uint32_t width = 320, uint32_t height = 200) {
        pointer.set_frame_size(width, height);
        pointer.move_by(100, 100);
        next_line();
    }
    void button(SDL_GameControllerButton which, bool down, uint64_t now_ms) {
        SDL_Event event{};
        event.type = down ? SDL_CONTROLLERBUTTONDOWN : SDL_CONTROLLERBUTTONUP;
        event.cbutton.button = Uint8(which);
        EXPECT_TRUE(controllers.handle_event(event, now_ms));
    }
    void stick(double x, double y) {
        for (auto [axis, value] : {std::pair{SDL_CONTROLLER_AXIS_LEFTX, x}, std::pair{SDL_CONTROLLER_AXIS_LEFTY, y}}) {
            SDL_Event event{};
            event.type = SDL_CONTROLLERAXISMOTION;
            event.caxis.axis = Uint8(axis);
            event.caxis.value = Sint16(value * 32767);
            controllers.handle_event(event, 0);
        }
    }
    // The mouse line sent after the next shown frame, or one with buttons -1 when none is.
    MouseState next_line() {
        MouseState state;
        if (!pointer.take_state(++frames, state)) return MouseState{0, 0, -1};
        hand = {state.px, state.py};
        return state;
    }
    // Updates every 16 ms from `from` to `to`; where the hand is then.
    std::pair<int, int> run_stick(uint64_t from, uint64_t to) {
        for (uint64_t t = from; t <= to; t += 16) controllers.update(t);
        next_line();
        return hand;
    }
    std::pair<int, int> hand{100, 100};
};

TEST(GameController, TheStickDoesNothingInsideItsDeadZone) {
    Rig rig;
    rig.stick(0.12, -0.14);
    rig.controllers.update(0);
    rig.controllers.update(2000);
    EXPECT_EQ(rig.next_line().buttons, -1) << "no line at all";
}

TEST(GameController, TheStickSpeedsUpWithDeflectionAndWithTimeHeldOut) {
    // Wide enough that nothing reaches the edge.
    Rig full(2000, 2000), part(2000, 2000);
    full.stick(1, 0);
    part.stick(0.6, 0);
    int first = full.run_stick(0, 160).first - 100;
    EXPECT_EQ(full.hand.second, 100) << "straight along x";
    EXPECT_GT(first, 2 * (part.run_stick(0, 160).first - 100)) << "the square of the deflection";
    EXPECT_GT(part.hand.first, 100);
    // Ramped up, 160 ms cover well over twice what the first 160 did, and no more than three times the speed.
    int before = full.run_stick(176, 1200).first;
    int ramped = full.run_stick(1216, 1360).first - before;
    EXPECT_GT(ramped, 2 * first);
    EXPECT_LE(ramped, int(GameControllerInput::kStickSpeed * GameControllerInput::kStickAcceleration * 0.16) + 1);
    // A loop stalled for a second moves the hand only as far as one longest step.
    before = full.hand.first;
    full.controllers.update(2400);
    EXPECT_LE(full.next_line().px - before,
              int(GameControllerInput::kStickSpeed * GameControllerInput::kStickAcceleration *
                  GameControllerInput::kLongestStepMs / 1000) + 1);
}

TEST(GameController, ASlowPushKeepsItsFractions) {
    Rig rig;
    // Ramped up, 0.6 game pixel a second: about a hundredth of a pixel each update.
    double pushed = std::sqrt(0.6 / (GameControllerInput::kStickSpeed * GameControllerInput::kStickAcceleration));
    rig.stick(0, GameControllerInput::kStickDeadZone + (1 - GameControllerInput::kStickDeadZone) * pushed);
    // 0.32 pixel while ramping over 800 ms, then 0.6 a second for 4.192 s: 2.84 in all.
    EXPECT_EQ(rig.run_stick(0, 4992).second, 102);
}

TEST(GameController, ADpadPressMovesOnePixelAndRepeatsAfterADelay) {
    Rig rig;
    rig.button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true, 1000);
    EXPECT_EQ(rig.next_line().px, 101) << "at once";
    rig.controllers.update(1000 + GameControllerInput::kDpadDelayMs - 1);
    EXPECT_EQ(rig.next_line().buttons, -1) << "no repeat before the delay";
    rig.controllers.update(1000 + GameControllerInput::kDpadDelayMs + 2 * GameControllerInput::kDpadRepeatMs);
    EXPECT_EQ(rig.next_line().px, 104) << "one at the delay, one each repeat after";
    rig.button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, false, 1400);
    rig.button(SDL_CONTROLLER_BUTTON_DPAD_UP, true, 1500);
    MouseState up = rig.next_line();
    EXPECT_EQ(up.px, 104);
    EXPECT_EQ(up.py, 99);
}

TEST(GameController, ButtonsClickTurnTheWheelAndPressKeysWithoutMovingTheHand) {
    Rig rig;
    rig.button(SDL_CONTROLLER_BUTTON_A, true, 0);
    EXPECT_EQ(rig.next_line(), (MouseState{0, 0, 1, 0, 100, 100, 1})) << "the left button where the hand is";
    rig.button(SDL_CONTROLLER_BUTTON_A, false, 10);
    rig.next_line();
    EXPECT_EQ(rig.next_line().buttons, 0) << "released once the press was seen for two frames";
    rig.button(SDL_CONTROLLER_BUTTON_B, true, 20);
    EXPECT_EQ(rig.next_line().buttons, 2);
    rig.button(SDL_CONTROLLER_BUTTON_B, false, 30);
    rig.next_line();
    rig.next_line();
    rig.button(SDL_CONTROLLER_BUTTON_LEFTSHOULDER, true, 40);
    EXPECT_EQ(rig.next_line().wheel, 1);
    rig.button(SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, true, 50);
    EXPECT_EQ(rig.next_line().wheel, -1);

    rig.button(SDL_CONTROLLER_BUTTON_X, true, 60);
    rig.button(SDL_CONTROLLER_BUTTON_X, false, 70);
    rig.button(SDL_CONTROLLER_BUTTON_Y, true, 80);
    rig.button(SDL_CONTROLLER_BUTTON_BACK, true, 90);
    rig.button(SDL_CONTROLLER_BUTTON_START, true, 100);
    rig.controllers.set_menu_key(kalmo::controller_menu_key("ScummVM 2.8.0 \xC2\xB7 API 1"));
    rig.button(SDL_CONTROLLER_BUTTON_START, false, 110);
    rig.button(SDL_CONTROLLER_BUTTON_START, true, 120);
    EXPECT_EQ(rig.keys, (Keys{{SDLK_ESCAPE, true}, {SDLK_ESCAPE, false}, {SDLK_SPACE, true}, {SDLK_RETURN, true},
                              {SDLK_ESCAPE, true}, {SDLK_ESCAPE, false}, {SDLK_F5, true}}))
        << "Start is Esc for other cores, F5 for ScummVM, and releases the key it pressed";
    EXPECT_EQ(rig.next_line().buttons, -1) << "no button moved the hand";
}

// SDL's own path, with a virtual controller SDL maps as a standard one: plugging it in opens it, its buttons
// arrive as controller events, and unplugging it releases what it held.
TEST(GameControllerDevice, APluggedControllerIsOpenedAndUnpluggingItReleasesItsKeys) {
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    Rig rig;
    auto pump = [&](uint32_t type) {
        bool seen = false;
        SDL_Event event;
        for (int round = 0; round < 50 && !seen; round++) {
            SDL_PumpEvents();
            while (SDL_PollEvent(&event)) {
                rig.controllers.handle_event(event, 0);
                seen = seen || event.type == type;
            }
        }
        return seen;
    };
    int device = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                           SDL_CONTROLLER_BUTTON_MAX, 0);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(device);
    ASSERT_TRUE(pump(SDL_CONTROLLERDEVICEADDED));
    SDL_Joystick *joystick = SDL_JoystickFromInstanceID(id);
    ASSERT_NE(joystick, nullptr) << "opened when plugged in";
    SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_X, 1);
    SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_A, 1);
    ASSERT_TRUE(pump(SDL_CONTROLLERBUTTONDOWN));
    EXPECT_EQ(rig.next_line().buttons, 1);
    SDL_JoystickDetachVirtual(device);
    EXPECT_TRUE(pump(SDL_CONTROLLERDEVICEREMOVED));
    EXPECT_EQ(rig.keys, (Keys{{SDLK_ESCAPE, true}, {SDLK_ESCAPE, false}}));
    rig.next_line();
    EXPECT_EQ(rig.next_line().buttons, 0) << "the left button released";
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

}  // namespace
