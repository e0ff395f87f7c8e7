// The picture the bench core presents and the minimal writer sends, made
// from one formula so both send the same bytes: a hash of each pixel's
// position, written in the core's pixel format with any row padding.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

inline uint32_t pattern_word(uint32_t x, uint32_t y) {
    uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u;
    return h ^ (h >> 15);
}

inline uint32_t pattern_bytes_per_pixel(uint32_t format) { return format == 1 ? 4 : 2; }

// Fills `height` rows of `pitch` bytes; the padding after each row is 0xEE.
inline void fill_pattern(uint8_t *frame, uint32_t format, uint32_t width, uint32_t height, size_t pitch) {
    uint32_t size = pattern_bytes_per_pixel(format);
    for (uint32_t y = 0; y < height; y++) {
        uint8_t *row = frame + y * pitch;
        memset(row, 0xEE, pitch);
        for (uint32_t x = 0; x < width; x++) {
            uint32_t word = pattern_word(x, y);
            memcpy(row + x * size, &word, size);
        }
    }
}
