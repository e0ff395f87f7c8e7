// kalmo-view's translations, without a display: SDL keys to the published
// retro_key codes, modifiers and typed characters, and the pointer's mouse
// lines, including a click shorter than a frame, which must still reach the
// core as a press; and the window size an explicit --scale gets on a screen
// too small for it.
#include <gtest/gtest.h>

#include "key_map.h"
#include "pointer_tracker.h"
#include "viewer_window.h"

namespace {

TEST(KeyMap, KeysTakeTheirPublishedRetroKeyCodes) {
    struct Pair {
        SDL_Keycode sdl;
        unsigned retro;
    } pairs[] = {
        {SDLK_a, 97},          {SDLK_z, 122},        {SDLK_0, 48},         {SDLK_RETURN, 13},   {SDLK_ESCAPE, 27},
        {SDLK_BACKSPACE, 8},   {SDLK_TAB, 9},        {SDLK_SPACE, 32},     {SDLK_DELETE, 127},  {SDLK_SLASH, 47},
        {SDLK_KP_0, 256},      {SDLK_KP_9, 265},     {SDLK_KP_ENTER, 271}, {SDLK_UP, 273},      {SDLK_DOWN, 274},
        {SDLK_RIGHT, 275},     {SDLK_LEFT, 276},     {SDLK_INSERT, 277},   {SDLK_PAGEDOWN, 281}, {SDLK_F1, 282},
        {SDLK_F10, 291},       {SDLK_F15, 296},      {SDLK_NUMLOCKCLEAR, 300}, {SDLK_CAPSLOCK, 301},
        {SDLK_RSHIFT, 303},    {SDLK_LSHIFT, 304},   {SDLK_RCTRL, 305},    {SDLK_LCTRL, 306},   {SDLK_RALT, 307},
        {SDLK_LALT, 308},      {SDLK_LGUI, 311},     {SDLK_RGUI, 312},     {SDLK_PRINTSCREEN, 316}, {SDLK_MENU, 319},
        {SDLK_UNDO, 322},      {SDLK_PAUSE, 19},     {SDLK_F16, 0},
    };
    for (const Pair &pair : pairs)
        EXPECT_EQ(kalmo::retro_key_from_sdl(pair.sdl), pair.retro) << SDL_GetKeyName(pair.sdl);
}

TEST(KeyMap, ModifiersBecomeRetroModBits) {
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_NONE), 0);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_LSHIFT), 0x01);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_RCTRL), 0x02);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_LALT), 0x04);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_RGUI), 0x08);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(Uint16(KMOD_NUM | KMOD_CAPS)), 0x30);
    EXPECT_EQ(kalmo::retro_modifiers_from_sdl(KMOD_SCROLL), 0x40);
}

TEST(KeyMap, TypedCharactersFollowShiftAndCapsLock) {
    EXPECT_EQ(kalmo::typed_character(SDLK_g, KMOD_NONE), uint32_t('g'));
    EXPECT_EQ(kalmo::typed_character(SDLK_g, KMOD_LSHIFT), uint32_t('G'));
    EXPECT_EQ(kalmo::typed_character(SDLK_g, KMOD_CAPS), uint32_t('G'));
    EXPECT_EQ(kalmo::typed_character(SDLK_g, Uint16(KMOD_CAPS | KMOD_RSHIFT)), uint32_t('g'));
    EXPECT_EQ(kalmo::typed_character(SDLK_1, KMOD_LSHIFT), uint32_t('!'));
    EXPECT_EQ(kalmo::typed_character(SDLK_SLASH, KMOD_LSHIFT), uint32_t('?'));
    EXPECT_EQ(kalmo::typed_character(SDLK_RETURN, KMOD_NONE), 13u);
    EXPECT_EQ(kalmo::typed_character(SDLK_KP_7, KMOD_NUM), uint32_t('7'));
    EXPECT_EQ(kalmo::typed_character(SDLK_KP_7, KMOD_NONE), 0u);
    EXPECT_EQ(kalmo::typed_character(SDLK_UP, KMOD_NONE), 0u);
    EXPECT_EQ(kalmo::typed_character(SDLK_F1, KMOD_NONE), 0u);
}

SDL_MouseButtonEvent button(Uint8 which, bool down) {
    SDL_MouseButtonEvent event{};
    event.button = which;
    event.state = down ? SDL_PRESSED : SDL_RELEASED;
    return event;
}

const kalmo::MouseState nothing{-1, -1, -1, -1, -1, -1, -1};

// The state to send after `frames` frames, or `nothing`.
kalmo::MouseState take(kalmo::PointerTracker &pointer, uint64_t frames) {
    kalmo::MouseState state;
    return pointer.take_state(frames, state) ? state : nothing;
}

TEST(PointerTracker, AClickShorterThanAFrameIsReportedForTwoFrames) {
    kalmo::PointerTracker pointer;
    EXPECT_EQ(take(pointer, 10), nothing) << "nothing happened, nothing to send";
    pointer.on_button(button(SDL_BUTTON_LEFT, true));
    pointer.on_button(button(SDL_BUTTON_LEFT, false));
    EXPECT_EQ(take(pointer, 10), (kalmo::MouseState{0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(take(pointer, 11), nothing) << "still pressed for the core";
    EXPECT_EQ(take(pointer, 12), (kalmo::MouseState{0, 0, 0, 0, 0, 0, 0}));
}

TEST(PointerTracker, ButtonsHeldStayDownAndWheelStepsAddUp) {
    kalmo::PointerTracker pointer;
    pointer.on_button(button(SDL_BUTTON_RIGHT, true));
    pointer.on_button(button(SDL_BUTTON_MIDDLE, true));
    SDL_MouseWheelEvent wheel{};
    wheel.y = 2;
    pointer.on_wheel(wheel);
    wheel.y = -1;
    wheel.direction = SDL_MOUSEWHEEL_FLIPPED;
    pointer.on_wheel(wheel);
    EXPECT_EQ(take(pointer, 1), (kalmo::MouseState{0, 0, 6, 3, 0, 0, 0}));
    EXPECT_EQ(take(pointer, 5), nothing) << "held buttons send nothing new";
    pointer.on_button(button(SDL_BUTTON_RIGHT, false));
    EXPECT_EQ(take(pointer, 6), (kalmo::MouseState{0, 0, 4, 0, 0, 0, 0}));
}

TEST(WindowSize, AScaleThatWouldNotFitTheScreenFallsToTheLargestWholeScaleThatDoes) {
    // A 640x480 game at --scale 3 on a 1280x1024 screen.
    kalmo::WindowSize size = kalmo::fit_window_size(640, 480, 3, 1280, 1024);
    EXPECT_TRUE(size.clamped);
    EXPECT_EQ(size.scale, 2);
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 960);
    // The NES picture at its aspect, 4 times over, on 1024x768.
    size = kalmo::fit_window_size(256, 240 / 1.1428, 4, 1024, 768);
    EXPECT_EQ(size.scale, 3);
    EXPECT_EQ(size.width, 768);
    EXPECT_EQ(size.height, 630);
}

TEST(WindowSize, AFittingScaleOrAnUnknownScreenLeavesTheSizeAsAsked) {
    kalmo::WindowSize size = kalmo::fit_window_size(320, 240, 3, 1280, 1024);
    EXPECT_FALSE(size.clamped);
    EXPECT_EQ(size.width, 960);
    EXPECT_EQ(size.height, 720);
    size = kalmo::fit_window_size(320, 240, 4, 1280, 960);
    EXPECT_FALSE(size.clamped) << "exactly the screen still fits";
    size = kalmo::fit_window_size(640, 480, 3, 0, 0);
    EXPECT_FALSE(size.clamped);
    EXPECT_EQ(size.width, 1920);
}

TEST(WindowSize, APictureLargerThanTheScreenAtScaleOneIsShrunkKeepingItsAspect) {
    kalmo::WindowSize size = kalmo::fit_window_size(4000, 2000, 1, 1000, 900);
    EXPECT_TRUE(size.clamped);
    EXPECT_EQ(size.scale, 0);
    EXPECT_EQ(size.width, 1000);
    EXPECT_EQ(size.height, 500);
}

}  // namespace
