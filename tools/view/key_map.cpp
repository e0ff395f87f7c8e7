// The key table. retro_key keeps ASCII for the keys that type it, as SDL2's
// key codes do, and numbers the rest from 256 as SDL 1.2 did.
#include "key_map.h"

namespace kalmo {

namespace {

struct KeyPair {
    SDL_Keycode sdl;
    unsigned retro;
};

const KeyPair special_keys[] = {
    {SDLK_CLEAR, 12},       {SDLK_PAUSE, 19},       {SDLK_KP_0, 256},        {SDLK_KP_1, 257},
    {SDLK_KP_2, 258},       {SDLK_KP_3, 259},       {SDLK_KP_4, 260},        {SDLK_KP_5, 261},
    {SDLK_KP_6, 262},       {SDLK_KP_7, 263},       {SDLK_KP_8, 264},        {SDLK_KP_9, 265},
    {SDLK_KP_PERIOD, 266},  {SDLK_KP_DIVIDE, 267},  {SDLK_KP_MULTIPLY, 268}, {SDLK_KP_MINUS, 269},
    {SDLK_KP_PLUS, 270},    {SDLK_KP_ENTER, 271},   {SDLK_KP_EQUALS, 272},   {SDLK_UP, 273},
    {SDLK_DOWN, 274},       {SDLK_RIGHT, 275},      {SDLK_LEFT, 276},        {SDLK_INSERT, 277},
    {SDLK_HOME, 278},       {SDLK_END, 279},        {SDLK_PAGEUP, 280},      {SDLK_PAGEDOWN, 281},
    {SDLK_F1, 282},         {SDLK_F2, 283},         {SDLK_F3, 284},          {SDLK_F4, 285},
    {SDLK_F5, 286},         {SDLK_F6, 287},         {SDLK_F7, 288},          {SDLK_F8, 289},
    {SDLK_F9, 290},         {SDLK_F10, 291},        {SDLK_F11, 292},         {SDLK_F12, 293},
    {SDLK_F13, 294},        {SDLK_F14, 295},        {SDLK_F15, 296},         {SDLK_NUMLOCKCLEAR, 300},
    {SDLK_CAPSLOCK, 301},   {SDLK_SCROLLLOCK, 302}, {SDLK_RSHIFT, 303},      {SDLK_LSHIFT, 304},
    {SDLK_RCTRL, 305},      {SDLK_LCTRL, 306},      {SDLK_RALT, 307},        {SDLK_LALT, 308},
    {SDLK_LGUI, 311},       {SDLK_RGUI, 312},       {SDLK_MODE, 313},        {SDLK_HELP, 315},
    {SDLK_PRINTSCREEN, 316}, {SDLK_SYSREQ, 317},    {SDLK_MENU, 319},        {SDLK_APPLICATION, 319},
    {SDLK_POWER, 320},      {SDLK_UNDO, 322},
};

// Shifted characters of the US layout's symbol keys.
const char shifted_symbols[][2] = {
    {'1', '!'}, {'2', '@'}, {'3', '#'}, {'4', '$'}, {'5', '%'}, {'6', '^'}, {'7', '&'},
    {'8', '*'}, {'9', '('}, {'0', ')'}, {'-', '_'}, {'=', '+'}, {'[', '{'}, {']', '}'},
    {'\\', '|'}, {';', ':'}, {'\'', '"'}, {',', '<'}, {'.', '>'}, {'/', '?'}, {'`', '~'},
};

}  // namespace

unsigned retro_key_from_sdl(SDL_Keycode key) {
    if (key >= 0 && key < 128) return key >= 'A' && key <= 'Z' ? unsigned(key - 'A' + 'a') : unsigned(key);
    for (const KeyPair &pair : special_keys)
        if (pair.sdl == key) return pair.retro;
    return 0;
}

uint16_t retro_modifiers_from_sdl(Uint16 modifiers) {
    uint16_t out = 0;
    if (modifiers & KMOD_SHIFT) out |= 0x01;
    if (modifiers & KMOD_CTRL) out |= 0x02;
    if (modifiers & KMOD_ALT) out |= 0x04;
    if (modifiers & KMOD_GUI) out |= 0x08;
    if (modifiers & KMOD_NUM) out |= 0x10;
    if (modifiers & KMOD_CAPS) out |= 0x20;
    if (modifiers & KMOD_SCROLL) out |= 0x40;
    return out;
}

uint32_t typed_character(SDL_Keycode key, Uint16 modifiers) {
    bool shift = (modifiers & KMOD_SHIFT) != 0;
    if (key >= 'a' && key <= 'z') return uint32_t(shift != ((modifiers & KMOD_CAPS) != 0) ? key - 'a' + 'A' : key);
    if (key == SDLK_BACKSPACE || key == SDLK_TAB || key == SDLK_RETURN || key == SDLK_ESCAPE || key == SDLK_DELETE)
        return uint32_t(key);
    if (key >= SDLK_KP_1 && key <= SDLK_KP_9 && (modifiers & KMOD_NUM)) return uint32_t('1' + (key - SDLK_KP_1));
    if (key == SDLK_KP_0 && (modifiers & KMOD_NUM)) return '0';
    if (key < 32 || key > 126) return 0;
    if (shift)
        for (const auto &pair : shifted_symbols)
            if (pair[0] == key) return uint32_t(uint8_t(pair[1]));
    return uint32_t(key);
}

}  // namespace kalmo
