// Conversion of one row of core pixels to RGBA (alpha 255).
#pragma once

#include <stdint.h>

// Any format other than XRGB8888 and RGB565 is read as 0RGB1555.
void convert_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);

// The plain per-pixel definitions; the vector paths must match them exactly.
void convert_row_0rgb1555_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width);
void convert_row_xrgb8888_scalar(const uint8_t *source, uint8_t *rgba, uint32_t width);
void convert_row_rgb565_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width);
