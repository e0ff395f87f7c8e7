// Pixel conversion to RGBA. Each 5- or 6-bit component is widened by copying
// its top bits into the freed low bits, so the largest value gives 255.
#include "video/pixel_conversion.h"

#include "host/libretro.h"

static inline uint8_t widen5(uint32_t c) { return (uint8_t)((c << 3) | (c >> 2)); }
static inline uint8_t widen6(uint32_t c) { return (uint8_t)((c << 2) | (c >> 4)); }

static inline uint16_t load16(const uint16_t *source, uint32_t x) {
    const uint8_t *p = (const uint8_t *)(source + x);
    return (uint16_t)(p[0] | p[1] << 8);
}

void convert_row_0rgb1555_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width) {
    for (uint32_t x = 0; x < width; x++, rgba += 4) {
        uint32_t word = load16(source, x);
        rgba[0] = widen5((word >> 10) & 31);
        rgba[1] = widen5((word >> 5) & 31);
        rgba[2] = widen5(word & 31);
        rgba[3] = 255;
    }
}

void convert_row_xrgb8888_scalar(const uint8_t *source, uint8_t *rgba, uint32_t width) {
    for (uint32_t x = 0; x < width; x++, rgba += 4, source += 4) {
        rgba[0] = source[2];
        rgba[1] = source[1];
        rgba[2] = source[0];
        rgba[3] = 255;
    }
}

void convert_row_rgb565_scalar(const uint16_t *source, uint8_t *rgba, uint32_t width) {
    for (uint32_t x = 0; x < width; x++, rgba += 4) {
        uint32_t word = load16(source, x);
        rgba[0] = widen5(word >> 11);
        rgba[1] = widen6((word >> 5) & 63);
        rgba[2] = widen5(word & 31);
        rgba[3] = 255;
    }
}

void convert_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        convert_row_xrgb8888_scalar((const uint8_t *)source, rgba, width);
    else if (format == RETRO_PIXEL_FORMAT_RGB565)
        convert_row_rgb565_scalar((const uint16_t *)source, rgba, width);
    else
        convert_row_0rgb1555_scalar((const uint16_t *)source, rgba, width);
}
