// Pixel conversion to RGBA. Each 5- or 6-bit component is widened by copying
// its top bits into the freed low bits, so the largest value gives 255.
//
// The scalar functions are the definition. convert_row runs vector forms that
// give the same bytes: SSE2, which every x86-64 processor has, and AVX2 when
// both the processor and the operating system support it. The pixels after
// the last whole vector of a row go through the scalar code. Loads are
// unaligned, since a core's rows may start at any address.
//
// In vectors the widening is one unsigned high multiply per component: with
// the component c at the top of a 16-bit lane, (c << 3) | (c >> 2) is
// c * 33 / 4 rounded down and (c << 2) | (c >> 4) is c * 65 / 16 rounded down,
// both exact for every value.
#include "video/pixel_conversion.h"

#include <cpuid.h>
#include <immintrin.h>

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

// The vector forms only send a row's last few pixels here, so the scalar
// functions stay out of line rather than be copied into each of them.
__attribute__((noinline)) static void convert_row_scalar(uint32_t format, const uint8_t *source, uint8_t *rgba, uint32_t width) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        convert_row_xrgb8888_scalar(source, rgba, width);
    else if (format == RETRO_PIXEL_FORMAT_RGB565)
        convert_row_rgb565_scalar((const uint16_t *)source, rgba, width);
    else
        convert_row_0rgb1555_scalar((const uint16_t *)source, rgba, width);
}

static uint32_t bytes_per_pixel(uint32_t format) { return format == RETRO_PIXEL_FORMAT_XRGB8888 ? 4 : 2; }

// Where red and green lie in a 16-bit pixel: the mask that leaves the
// component at the top of the lane, and the multiplier that widens it from
// there. Blue is bits 4-0 in both formats and is shifted up by 11 instead.
struct word_layout {
    short red_mask, red_multiplier, green_mask, green_multiplier;
};
static const word_layout rgb565_layout = {(short)0xF800, 264, 0x07E0, 8320};
static const word_layout xrgb1555_layout = {0x7C00, 528, 0x03E0, 16896};
static const short blue_multiplier = 264;

static const word_layout *layout_of(uint32_t format) {
    return format == RETRO_PIXEL_FORMAT_RGB565 ? &rgb565_layout : &xrgb1555_layout;
}

// SSE2. Each function converts the whole vectors at the start of the row and
// returns how many pixels that was.

static uint32_t convert_xrgb8888_sse2(const uint8_t *source, uint8_t *rgba, uint32_t width) {
    const __m128i red_blue = _mm_set1_epi32(0x00FF00FF);
    const __m128i green = _mm_set1_epi32(0x0000FF00);
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000);
    uint32_t vectors = width / 4;
    for (uint32_t i = 0; i < vectors; i++, source += 16, rgba += 16) {
        __m128i pixels = _mm_loadu_si128((const __m128i *)source);
        // Swapping the 16-bit halves of each pixel trades blue and red.
        __m128i swapped = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pixels, 0xB1), 0xB1);
        __m128i out = _mm_or_si128(_mm_and_si128(swapped, red_blue), _mm_and_si128(pixels, green));
        _mm_storeu_si128((__m128i *)rgba, _mm_or_si128(out, alpha));
    }
    return vectors * 4;
}

static uint32_t convert_words_sse2(const uint8_t *source, uint8_t *rgba, uint32_t width, const word_layout *layout) {
    const __m128i red_mask = _mm_set1_epi16(layout->red_mask);
    const __m128i red_multiplier = _mm_set1_epi16(layout->red_multiplier);
    const __m128i green_mask = _mm_set1_epi16(layout->green_mask);
    const __m128i green_multiplier = _mm_set1_epi16(layout->green_multiplier);
    const __m128i blue_factor = _mm_set1_epi16(blue_multiplier);
    const __m128i alpha = _mm_set1_epi16((short)0xFF00);
    uint32_t vectors = width / 8;
    for (uint32_t i = 0; i < vectors; i++, source += 16, rgba += 32) {
        __m128i words = _mm_loadu_si128((const __m128i *)source);
        __m128i red = _mm_mulhi_epu16(_mm_and_si128(words, red_mask), red_multiplier);
        __m128i green = _mm_mulhi_epu16(_mm_and_si128(words, green_mask), green_multiplier);
        __m128i blue = _mm_mulhi_epu16(_mm_slli_epi16(words, 11), blue_factor);
        __m128i red_green = _mm_or_si128(red, _mm_slli_epi16(green, 8));
        __m128i blue_alpha = _mm_or_si128(blue, alpha);
        _mm_storeu_si128((__m128i *)rgba, _mm_unpacklo_epi16(red_green, blue_alpha));
        _mm_storeu_si128((__m128i *)(rgba + 16), _mm_unpackhi_epi16(red_green, blue_alpha));
    }
    return vectors * 8;
}

void convert_row_sse2(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    const uint8_t *from = (const uint8_t *)source;
    uint32_t done = format == RETRO_PIXEL_FORMAT_XRGB8888 ? convert_xrgb8888_sse2(from, rgba, width)
                                                          : convert_words_sse2(from, rgba, width, layout_of(format));
    if (done < width) convert_row_scalar(format, from + done * bytes_per_pixel(format), rgba + done * 4, width - done);
}

// AVX2: the same steps on twice the pixels; what is left after the last
// whole vector goes through the SSE2 form.

__attribute__((target("avx2"))) static uint32_t convert_xrgb8888_avx2(const uint8_t *source, uint8_t *rgba,
                                                                      uint32_t width) {
    // Byte order red, green, blue from bytes 2, 1, 0; index -1 gives 0 for alpha.
    const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2, 1, 0, -1, 6, 5,
                                           4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
    const __m256i alpha = _mm256_set1_epi32((int)0xFF000000);
    uint32_t vectors = width / 8;
    for (uint32_t i = 0; i < vectors; i++, source += 32, rgba += 32) {
        __m256i pixels = _mm256_loadu_si256((const __m256i *)source);
        _mm256_storeu_si256((__m256i *)rgba, _mm256_or_si256(_mm256_shuffle_epi8(pixels, order), alpha));
    }
    return vectors * 8;
}

__attribute__((target("avx2"))) static uint32_t convert_words_avx2(const uint8_t *source, uint8_t *rgba,
                                                                   uint32_t width, const word_layout *layout) {
    const __m256i red_mask = _mm256_set1_epi16(layout->red_mask);
    const __m256i red_multiplier = _mm256_set1_epi16(layout->red_multiplier);
    const __m256i green_mask = _mm256_set1_epi16(layout->green_mask);
    const __m256i green_multiplier = _mm256_set1_epi16(layout->green_multiplier);
    const __m256i blue_factor = _mm256_set1_epi16(blue_multiplier);
    const __m256i alpha = _mm256_set1_epi16((short)0xFF00);
    uint32_t vectors = width / 16;
    for (uint32_t i = 0; i < vectors; i++, source += 32, rgba += 64) {
        // Unpacking works within 128-bit lanes; taking the 64-bit quarters in
        // the order 0, 2, 1, 3 first makes the unpacked pixels come out in order.
        __m256i words = _mm256_permute4x64_epi64(_mm256_loadu_si256((const __m256i *)source), 0xD8);
        __m256i red = _mm256_mulhi_epu16(_mm256_and_si256(words, red_mask), red_multiplier);
        __m256i green = _mm256_mulhi_epu16(_mm256_and_si256(words, green_mask), green_multiplier);
        __m256i blue = _mm256_mulhi_epu16(_mm256_slli_epi16(words, 11), blue_factor);
        __m256i red_green = _mm256_or_si256(red, _mm256_slli_epi16(green, 8));
        __m256i blue_alpha = _mm256_or_si256(blue, alpha);
        _mm256_storeu_si256((__m256i *)rgba, _mm256_unpacklo_epi16(red_green, blue_alpha));
        _mm256_storeu_si256((__m256i *)(rgba + 32), _mm256_unpackhi_epi16(red_green, blue_alpha));
    }
    return vectors * 16;
}

void convert_row_avx2(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    const uint8_t *from = (const uint8_t *)source;
    uint32_t done = format == RETRO_PIXEL_FORMAT_XRGB8888 ? convert_xrgb8888_avx2(from, rgba, width)
                                                          : convert_words_avx2(from, rgba, width, layout_of(format));
    if (done < width) convert_row_sse2(format, from + done * bytes_per_pixel(format), rgba + done * 4, width - done);
}

// Asked of the processor itself: the Windows build has no runtime that
// would have filled in the compiler's own feature table.
bool pixel_conversion_has_avx2(void) {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    if (!(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return false;
    // The operating system must save the xmm and ymm registers on a switch.
    unsigned enabled_low, enabled_high;
    __asm__("xgetbv" : "=a"(enabled_low), "=d"(enabled_high) : "c"(0));
    if ((enabled_low & 6) != 6) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & bit_AVX2) != 0;
}

enum vector_choice { VECTOR_NOT_CHOSEN, VECTOR_SSE2, VECTOR_AVX2 };
static vector_choice chosen_vector;

void convert_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    if (chosen_vector == VECTOR_NOT_CHOSEN) chosen_vector = pixel_conversion_has_avx2() ? VECTOR_AVX2 : VECTOR_SSE2;
    if (chosen_vector == VECTOR_AVX2)
        convert_row_avx2(format, source, rgba, width);
    else
        convert_row_sse2(format, source, rgba, width);
}
