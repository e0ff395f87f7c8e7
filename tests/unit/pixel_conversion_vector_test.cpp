// The two vector forms of the row conversion, each called directly, against
// the scalar definitions: convert_row takes only one of them on a given
// processor, so the other would otherwise go unchecked there. Every 16-bit
// word in both 16-bit formats and random XRGB8888, at every width from 1 to
// 70 (every tail after every vector size) and a few long ones, from sources
// at every byte alignment.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/libretro.h"
#include "video/pixel_conversion.h"

namespace {

typedef void (*row_converter)(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);

void scalar_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        convert_row_xrgb8888_scalar((const uint8_t *)source, rgba, width);
    else if (format == RETRO_PIXEL_FORMAT_RGB565)
        convert_row_rgb565_scalar((const uint16_t *)source, rgba, width);
    else
        convert_row_0rgb1555_scalar((const uint16_t *)source, rgba, width);
}

// Every 16-bit word once, in order, or random 32-bit pixels; then one more
// row's worth so a row that starts near the end still has its pixels.
std::vector<uint8_t> all_pixels(uint32_t format, uint32_t count, uint32_t extra) {
    uint32_t size = format == RETRO_PIXEL_FORMAT_XRGB8888 ? 4 : 2;
    std::vector<uint8_t> bytes((count + extra) * size);
    std::mt19937 random(7);
    for (uint32_t i = 0; i < count + extra; i++) {
        uint32_t value = size == 4 ? (uint32_t)random() : i & 0xffff;
        std::memcpy(bytes.data() + i * size, &value, size);
    }
    return bytes;
}

// Converts rows of `width` pixels starting at every pixel step through the
// values, from a copy shifted by `offset` bytes; reports the first row whose
// bytes differ from the scalar ones, or that writes past its end.
std::string first_mismatch(row_converter convert, uint32_t format, uint32_t width, uint32_t offset) {
    const uint32_t count = format == RETRO_PIXEL_FORMAT_XRGB8888 ? 8192 : 65536;
    uint32_t size = format == RETRO_PIXEL_FORMAT_XRGB8888 ? 4 : 2;
    std::vector<uint8_t> values = all_pixels(format, count, width);
    std::vector<uint8_t> shifted(values.size() + offset);
    std::memcpy(shifted.data() + offset, values.data(), values.size());
    std::vector<uint8_t> expected(width * 4 + 16), got(width * 4 + 16);
    for (uint32_t first = 0; first < count; first += width) {
        const uint8_t *row = shifted.data() + offset + first * size;
        std::memset(expected.data(), 0x5A, expected.size());
        std::memset(got.data(), 0x5A, got.size());
        scalar_row(format, row, expected.data(), width);
        convert(format, row, got.data(), width);
        if (got != expected) return "row starting at pixel " + std::to_string(first);
    }
    return "";
}

void expect_same_as_scalar(row_converter convert, uint32_t format) {
    std::vector<uint32_t> widths;
    for (uint32_t width = 1; width <= 70; width++) widths.push_back(width);
    for (uint32_t width : {255u, 256u, 257u, 1920u, 8191u}) widths.push_back(width);
    for (uint32_t width : widths) {
        for (uint32_t offset = 0; offset < 4; offset++) {
            EXPECT_EQ(first_mismatch(convert, format, width, offset), "")
                << "format " << format << ", width " << width << ", source offset " << offset;
        }
    }
}

TEST(SSE2Conversion, MatchesTheScalarDefinitionForEveryWordOf0RGB1555) {
    expect_same_as_scalar(convert_row_sse2, RETRO_PIXEL_FORMAT_0RGB1555);
}

TEST(SSE2Conversion, MatchesTheScalarDefinitionForEveryWordOfRGB565) {
    expect_same_as_scalar(convert_row_sse2, RETRO_PIXEL_FORMAT_RGB565);
}

TEST(SSE2Conversion, MatchesTheScalarDefinitionForRandomXRGB8888) {
    expect_same_as_scalar(convert_row_sse2, RETRO_PIXEL_FORMAT_XRGB8888);
}

TEST(AVX2Conversion, MatchesTheScalarDefinitionForEveryWordOf0RGB1555) {
    if (!pixel_conversion_has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    expect_same_as_scalar(convert_row_avx2, RETRO_PIXEL_FORMAT_0RGB1555);
}

TEST(AVX2Conversion, MatchesTheScalarDefinitionForEveryWordOfRGB565) {
    if (!pixel_conversion_has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    expect_same_as_scalar(convert_row_avx2, RETRO_PIXEL_FORMAT_RGB565);
}

TEST(AVX2Conversion, MatchesTheScalarDefinitionForRandomXRGB8888) {
    if (!pixel_conversion_has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    expect_same_as_scalar(convert_row_avx2, RETRO_PIXEL_FORMAT_XRGB8888);
}

}  // namespace
