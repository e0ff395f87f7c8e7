// The host's command lines, checked and spelled out (internal C++ API of
// kalmo-client). Each builder returns the whole line with its LF, or an
// empty string and the reason in `error` when a value is out of range.
#pragma once

#include <cstdint>
#include <string>

namespace kalmo::client {

std::string mouse_line(int32_t dx, int32_t dy, uint32_t buttons, int32_t wheel, int32_t px, int32_t py,
                       int32_t inside, std::string &error);
std::string key_line(uint32_t keycode, int32_t down, uint32_t character, uint32_t modifiers, std::string &error);
inline std::string reset_line() { return "RESET\n"; }
inline std::string quit_line() { return "QUIT\n"; }

}  // namespace kalmo::client
