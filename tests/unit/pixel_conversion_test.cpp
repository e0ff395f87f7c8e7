// Pixel conversion held against a reference written here independently of
// the host: every one of the 65,536 16-bit words in both 16-bit formats, and
// random XRGB8888 words, at widths that leave every possible tail after a
// vector body, from sources at every alignment. Whatever form convert_row
// takes (scalar, or vector paths chosen at run time), these must stay green:
// its output is pinned bit for bit, and it must not write outside its row.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/host_state.h"
#include "host/libretro.h"
#include "parent_view.h"
#include "video/pixel_conversion.h"
#include "video/video_output.h"

namespace {

using rgba = std::array<uint8_t, 4>;

// A component widened to 8 bits by repeating its bits below itself:
// for five bits c * 33 / 4 (cccccccccc >> 2), for six bits c * 65 / 16.
uint8_t widen_five(uint32_t c) { return (uint8_t)(c * 33 / 4); }
uint8_t widen_six(uint32_t c) { return (uint8_t)(c * 65 / 16); }

rgba reference_0rgb1555(uint16_t word) {
    return {widen_five(word / 1024 % 32), widen_five(word / 32 % 32), widen_five(word % 32), 255};
}

rgba reference_rgb565(uint16_t word) {
    return {widen_five(word / 2048), widen_six(word / 32 % 64), widen_five(word % 32), 255};
}

rgba reference_xrgb8888(uint32_t word) {
    return {(uint8_t)(word / 65536 % 256), (uint8_t)(word / 256 % 256), (uint8_t)(word % 256), 255};
}

rgba reference_pixel(uint32_t format, const uint8_t *source) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        return reference_xrgb8888(source[0] | source[1] << 8 | source[2] << 16 | (uint32_t)source[3] << 24);
    uint16_t word = (uint16_t)(source[0] | source[1] << 8);
    return format == RETRO_PIXEL_FORMAT_RGB565 ? reference_rgb565(word) : reference_0rgb1555(word);
}

uint32_t bytes_per_pixel(uint32_t format) { return format == RETRO_PIXEL_FORMAT_XRGB8888 ? 4 : 2; }

// Little-endian source pixels: every 16-bit word in order, or random 32-bit
// words (ignored top byte included), starting `offset` bytes into the buffer.
std::vector<uint8_t> source_pixels(uint32_t format, size_t pixels, size_t offset) {
    std::vector<uint8_t> bytes(offset + pixels * bytes_per_pixel(format) + 64, 0xEE);
    std::mt19937 random(12345);
    for (size_t i = 0; i < pixels; i++) {
        uint8_t *at = bytes.data() + offset + i * bytes_per_pixel(format);
        if (format == RETRO_PIXEL_FORMAT_XRGB8888) {
            uint32_t word = random();
            for (int b = 0; b < 4; b++) at[b] = (uint8_t)(word >> (8 * b));
        } else {
            at[0] = (uint8_t)i;
            at[1] = (uint8_t)(i >> 8);
        }
    }
    return bytes;
}

typedef void (*row_converter)(uint32_t format, const void *source, uint8_t *rgba, uint32_t width);

// Converts `source` row by row at `width`, each row into a fresh buffer with
// guard bytes around it, and reports the first difference from the
// reference or the first guard byte touched; empty when all is exact.
std::string first_difference(row_converter convert, uint32_t format, const uint8_t *source, size_t pixels,
                             uint32_t width, size_t output_offset) {
    const uint8_t guard = 0xA5;
    std::vector<uint8_t> out(output_offset + width * 4 + 64);
    for (size_t row_start = 0; row_start < pixels; row_start += width) {
        std::memset(out.data(), guard, out.size());
        const uint8_t *row = source + row_start * bytes_per_pixel(format);
        convert(format, row, out.data() + output_offset, width);
        for (size_t i = 0; i < out.size(); i++) {
            bool inside = i >= output_offset && i < output_offset + width * 4;
            if (!inside && out[i] != guard)
                return "row at pixel " + std::to_string(row_start) + ": byte " + std::to_string(i) +
                       " outside the row was written";
        }
        for (uint32_t x = 0; x < width; x++) {
            rgba expected = reference_pixel(format, row + x * bytes_per_pixel(format));
            const uint8_t *got = out.data() + output_offset + x * 4;
            if (std::memcmp(got, expected.data(), 4) != 0)
                return "pixel " + std::to_string(row_start + x) + " (x " + std::to_string(x) + "): got " +
                       std::to_string(got[0]) + "," + std::to_string(got[1]) + "," + std::to_string(got[2]) + "," +
                       std::to_string(got[3]) + " expected " + std::to_string(expected[0]) + "," +
                       std::to_string(expected[1]) + "," + std::to_string(expected[2]) + "," +
                       std::to_string(expected[3]);
        }
    }
    return "";
}

const uint32_t widths[] = {1,  2,  3,  4,  5,   7,   8,   9,   15,  16,   17,   23,   31,  32,
                           33, 47, 63, 64, 65, 127, 129, 255, 257, 1023, 1025, 4095, 8191, 8192};

// Every row of the sweep starts at a different alignment when the width is
// odd; the extra source offsets move even widths and odd pitches too.
void sweep(row_converter convert, uint32_t format, size_t pixels, std::initializer_list<size_t> source_offsets) {
    for (size_t source_offset : source_offsets) {
        for (uint32_t width : widths) {
            // Whole rows only, wrapping past the end of the values.
            size_t rows = (pixels + width - 1) / width;
            std::vector<uint8_t> source = source_pixels(format, rows * width, source_offset);
            for (size_t output_offset : {0, 4}) {
                SCOPED_TRACE("format " + std::to_string(format) + ", width " + std::to_string(width) +
                             ", source offset " + std::to_string(source_offset) + ", output offset " +
                             std::to_string(output_offset));
                EXPECT_EQ(first_difference(convert, format, source.data() + source_offset, rows * width, width,
                                           output_offset),
                          "");
            }
        }
    }
}

void scalar_converter(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        convert_row_xrgb8888_scalar((const uint8_t *)source, rgba, width);
    else if (format == RETRO_PIXEL_FORMAT_RGB565)
        convert_row_rgb565_scalar((const uint16_t *)source, rgba, width);
    else
        convert_row_0rgb1555_scalar((const uint16_t *)source, rgba, width);
}

TEST(ReferenceConversion, AgreesWithTheWorkedValues) {
    EXPECT_EQ(reference_rgb565(31 << 11), (rgba{255, 0, 0, 255}));
    EXPECT_EQ(reference_rgb565(63 << 5), (rgba{0, 255, 0, 255}));
    EXPECT_EQ(reference_rgb565(31), (rgba{0, 0, 255, 255}));
    EXPECT_EQ(reference_rgb565(16 << 11 | 32 << 5 | 16), (rgba{132, 130, 132, 255}));
    EXPECT_EQ(reference_rgb565(1 << 11 | 2 << 5 | 1), (rgba{8, 8, 8, 255}));
    EXPECT_EQ(reference_0rgb1555(0x7fff), (rgba{255, 255, 255, 255}));
    EXPECT_EQ(reference_0rgb1555(0x8000), (rgba{0, 0, 0, 255}));
    EXPECT_EQ(reference_0rgb1555(0xffff), (rgba{255, 255, 255, 255}));
    EXPECT_EQ(reference_0rgb1555(16 << 10 | 16 << 5 | 16), (rgba{132, 132, 132, 255}));
    EXPECT_EQ(reference_xrgb8888(0x44332211), (rgba{0x33, 0x22, 0x11, 255}));
}

TEST(ConvertRow, GivesTheReferenceForAllWordsOf0RGB1555AtEveryWidthAndAlignment) {
    sweep(convert_row, RETRO_PIXEL_FORMAT_0RGB1555, 65536, {0, 1, 2, 6});
}

TEST(ConvertRow, GivesTheReferenceForAllWordsOfRGB565AtEveryWidthAndAlignment) {
    sweep(convert_row, RETRO_PIXEL_FORMAT_RGB565, 65536, {0, 1, 2, 6});
}

TEST(ConvertRow, GivesTheReferenceForRandomXRGB8888AtEveryWidthAndAlignment) {
    sweep(convert_row, RETRO_PIXEL_FORMAT_XRGB8888, 65536, {0, 1, 2, 4, 12});
}

TEST(ConvertRow, ReadsEveryFormatValueOtherThanOneAndTwoAs0RGB1555) {
    std::vector<uint8_t> source = source_pixels(RETRO_PIXEL_FORMAT_0RGB1555, 65536, 0);
    for (uint32_t format : {3u, 7u, 0x80000000u, 0xffffffffu}) {
        std::vector<uint8_t> got(65536 * 4), expected(65536 * 4);
        convert_row(format, source.data(), got.data(), 65536);
        convert_row(RETRO_PIXEL_FORMAT_0RGB1555, source.data(), expected.data(), 65536);
        EXPECT_EQ(got, expected) << "format " << format;
    }
}

TEST(ConvertRow, WordsDifferingOnlyInTheTopBitOf0RGB1555GiveTheSamePixel) {
    std::vector<uint16_t> low(32768), high(32768);
    for (uint32_t i = 0; i < 32768; i++) {
        low[i] = (uint16_t)i;
        high[i] = (uint16_t)(i | 0x8000);
    }
    std::vector<uint8_t> from_low(32768 * 4), from_high(32768 * 4);
    convert_row(RETRO_PIXEL_FORMAT_0RGB1555, low.data(), from_low.data(), 32768);
    convert_row(RETRO_PIXEL_FORMAT_0RGB1555, high.data(), from_high.data(), 32768);
    EXPECT_EQ(from_low, from_high);
}

TEST(ConvertRow, TheIgnoredByteOfXRGB8888NeverReachesTheOutput) {
    for (uint32_t width : {1u, 7u, 33u, 100u}) {
        std::vector<uint32_t> zero_top(width), full_top(width);
        for (uint32_t x = 0; x < width; x++) {
            zero_top[x] = (x * 2654435761u) & 0x00ffffffu;
            full_top[x] = zero_top[x] | 0xff000000u;
        }
        std::vector<uint8_t> a(width * 4), b(width * 4);
        convert_row(RETRO_PIXEL_FORMAT_XRGB8888, zero_top.data(), a.data(), width);
        convert_row(RETRO_PIXEL_FORMAT_XRGB8888, full_top.data(), b.data(), width);
        EXPECT_EQ(a, b) << "width " << width;
        for (uint32_t x = 0; x < width; x++) EXPECT_EQ(a[x * 4 + 3], 255) << "alpha at x " << x;
    }
}

TEST(ScalarConversion, GivesTheReferenceForEveryFormatAndWidth) {
    sweep(scalar_converter, RETRO_PIXEL_FORMAT_0RGB1555, 65536, {0, 2});
    sweep(scalar_converter, RETRO_PIXEL_FORMAT_RGB565, 65536, {0, 2});
    sweep(scalar_converter, RETRO_PIXEL_FORMAT_XRGB8888, 65536, {0, 4});
}

// The same sweep through the video callback: frames covering every word
// (several frames when a narrow width needs more than 8192 rows), rows at a
// padded pitch, decoded from the protocol output.
class FrameConversion : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    void expect_frames_match_reference(uint32_t format, std::initializer_list<size_t> paddings) {
        pixel_format = format;
        uint32_t bpp = bytes_per_pixel(format);
        for (uint32_t width : {1u, 3u, 7u, 15u, 17u, 31u, 33u, 63u, 65u, 257u, 1025u}) {
            for (size_t padding : paddings) {
                SCOPED_TRACE("format " + std::to_string(format) + ", width " + std::to_string(width) +
                             ", padding " + std::to_string(padding));
                uint32_t rows = (65536 + width - 1) / width;
                std::vector<uint8_t> tight = source_pixels(format, (size_t)width * rows, 0);
                for (uint32_t first_row = 0; first_row < rows; first_row += 8192) {
                    uint32_t height = rows - first_row < 8192 ? rows - first_row : 8192;
                    expect_frame_matches_reference(format, tight.data() + (size_t)first_row * width * bpp, width,
                                                   height, width * bpp + padding);
                }
            }
        }
    }

    void expect_frame_matches_reference(uint32_t format, const uint8_t *tight, uint32_t width, uint32_t height,
                                        size_t pitch) {
        uint32_t bpp = bytes_per_pixel(format);
        // Padding bytes hold a pattern that must never reach the frame.
        std::vector<uint8_t> frame(pitch * height, 0x5A);
        for (uint32_t y = 0; y < height; y++)
            std::memcpy(frame.data() + y * pitch, tight + (size_t)y * width * bpp, width * bpp);
        forget_output();
        video_refresh(frame.data(), width, height, pitch);
        kalmo::DecodedStream sent = kalmo::decode_stream(fake.protocol);
        ASSERT_EQ(sent.error, "");
        ASSERT_EQ(sent.frames.size(), 1u);
        const kalmo::VideoFrame &got = sent.frames[0];
        ASSERT_EQ(got.width, width);
        ASSERT_EQ(got.height, height);
        ASSERT_EQ(got.rgba.size(), (size_t)width * height * 4);
        size_t wrong = 0, first_wrong = 0;
        for (size_t i = 0; i < (size_t)width * height; i++) {
            rgba expected = reference_pixel(format, tight + i * bpp);
            if (std::memcmp(got.rgba.data() + i * 4, expected.data(), 4) != 0 && wrong++ == 0) first_wrong = i;
        }
        EXPECT_EQ(wrong, 0u) << "first wrong pixel " << first_wrong;
    }
};

TEST_F(FrameConversion, EveryWordOf0RGB1555ArrivesAsTheReferenceAtAnyWidthAndPitch) {
    expect_frames_match_reference(RETRO_PIXEL_FORMAT_0RGB1555, {0, 1, 6});
}

TEST_F(FrameConversion, EveryWordOfRGB565ArrivesAsTheReferenceAtAnyWidthAndPitch) {
    expect_frames_match_reference(RETRO_PIXEL_FORMAT_RGB565, {0, 1, 6});
}

TEST_F(FrameConversion, RandomXRGB8888ArrivesAsTheReferenceAtAnyWidthAndPitch) {
    expect_frames_match_reference(RETRO_PIXEL_FORMAT_XRGB8888, {0, 3, 8});
}

}  // namespace
