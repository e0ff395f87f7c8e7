// Conversion of one row of core pixels to RGBA (alpha 255).
#pragma once

#include <stdint.h>

// Any format other than XRGB8888 and RGB565 is read as 0RGB1555. Picks the
// widest vector form the processor supports, once, on the first call.
void convert_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);

// The plain per-pixel definitions; the vector paths must match them exactly.
void convert_row_0rgb1555_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width);
void convert_row_xrgb8888_scalar(const uint8_t *source, uint8_t *rgba, uint32_t width);
void convert_row_rgb565_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width);

// The vector forms convert_row chooses between, open to the tests and the
// bench so that each is checked and measured on any machine that has it.
// convert_row_avx2 may only run when pixel_conversion_has_avx2() is true.
void convert_row_sse2(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);
void convert_row_avx2(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);
bool pixel_conversion_has_avx2(void);
