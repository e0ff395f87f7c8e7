// PNG files through libpng: frames are written as 8-bit RGBA exactly as the
// host sent them, the contact sheet as 8-bit RGB.
#pragma once

#include <cstdint>
#include <string>

namespace kalmo {

// `channels` is 4 (RGBA) or 3 (RGB); rows are packed, top row first.
bool write_png(const std::string &path, uint32_t width, uint32_t height, int channels, const uint8_t *pixels,
               std::string &error);

}  // namespace kalmo
