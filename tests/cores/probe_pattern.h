// The deterministic data the probe core sends, shared with the tests so they
// can recompute every pixel and sample the core produced and compare it with
// what came out of the host. Header only, no library: the core includes it
// on both builds, the tests on Linux.
#pragma once

#include <stdint.h>

// Source pixel at (x, y) of a frame presented during retro_run number
// `frame` (1 for the first run, 0 outside retro_run). 16-bit formats take the
// low 16 bits; every bit varies, so the ignored bits of 0RGB1555 (bit 15) and
// XRGB8888 (bits 31-24) are set as often as not.
static inline uint32_t probe_pixel_word(uint32_t x, uint32_t y, uint32_t frame) {
    uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ (frame + 1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// Bytes between the end of a row's pixels and the start of the next row,
// when the scenario gives a pitch wider than the row.
static const uint8_t probe_padding_byte = 0xA5;

// Stereo frame number `index` of everything the core sent, counted over
// single frames and batches together from 0, so the concatenated audio of a
// whole run is one known sequence.
static inline int16_t probe_audio_left(uint32_t index) {
    return (int16_t)(uint16_t)((index * 2654435761u) >> 16);
}

static inline int16_t probe_audio_right(uint32_t index) {
    return (int16_t)(uint16_t)(((index ^ 0x5A5Au) * 40503u + 12345u) & 0xFFFFu);
}

// FNV-1a over a byte range: the probe records it for the content bytes it is
// given and for the content file it read itself.
static inline uint64_t probe_hash(const void *bytes, uint64_t count) {
    const uint8_t *p = (const uint8_t *)bytes;
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint64_t i = 0; i < count; i++) {
        h ^= p[i];
        h *= 0x100000001B3ull;
    }
    return h;
}
