// Translation of SDL2 keyboard events into the host's key lines: SDL key
// codes to the published retro_key values (which follow the old SDL 1.2
// key symbols), SDL modifier state to the retro_mod bits, and the character
// a key types on a US layout.
#pragma once

#include <SDL.h>

#include <cstdint>

namespace kalmo {

// 0 (RETROK_UNKNOWN) for keys without a retro_key value.
unsigned retro_key_from_sdl(SDL_Keycode key);
uint16_t retro_modifiers_from_sdl(Uint16 modifiers);
// The character typed by `key` with `modifiers`, or 0 when it types none.
uint32_t typed_character(SDL_Keycode key, Uint16 modifiers);

}  // namespace kalmo
