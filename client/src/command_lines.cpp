// Command lines for the host's standard input; see command_lines.h. The host
// reads decimal fields into 32 bits and keeps key states for codes up to
// 65535, which is where the ranges below come from.
#include "command_lines.h"

namespace kalmo::client {

static bool flag(int32_t value) { return value == 0 || value == 1; }

std::string mouse_line(int32_t dx, int32_t dy, uint32_t buttons, int32_t wheel, int32_t px, int32_t py,
                       int32_t inside, std::string &error) {
    if (buttons > 7) {
        error = "mouse buttons " + std::to_string(buttons) + " is not a mask of 1, 2 and 4";
        return {};
    }
    if (!flag(inside)) {
        error = "mouse inside must be 0 or 1, not " + std::to_string(inside);
        return {};
    }
    return "M " + std::to_string(dx) + " " + std::to_string(dy) + " " + std::to_string(buttons) + " " +
           std::to_string(wheel) + " " + std::to_string(px) + " " + std::to_string(py) + " " +
           std::to_string(inside) + "\n";
}

std::string key_line(uint32_t keycode, int32_t down, uint32_t character, uint32_t modifiers, std::string &error) {
    if (keycode > 65535) error = "key code " + std::to_string(keycode) + " is past 65535";
    else if (!flag(down)) error = "key down must be 0 or 1, not " + std::to_string(down);
    else if (character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF))
        error = "key character " + std::to_string(character) + " is not a Unicode code point";
    else if (modifiers > 65535) error = "key modifiers " + std::to_string(modifiers) + " do not fit 16 bits";
    if (!error.empty()) return {};
    return "K " + std::to_string(keycode) + " " + std::to_string(down) + " " + std::to_string(character) + " " +
           std::to_string(modifiers) + "\n";
}

}  // namespace kalmo::client
