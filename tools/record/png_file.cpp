// libpng writer; its errors come back through setjmp, so nothing with a
// destructor may live across the setjmp in write_png.
#include "png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kalmo {

namespace {

bool write_rows(FILE *file, uint32_t width, uint32_t height, int channels, const uint8_t *pixels) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, width, height, 8, channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; y++)
        png_write_row(png, const_cast<png_bytep>(pixels + size_t(y) * width * channels));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool write_png(const std::string &path, uint32_t width, uint32_t height, int channels, const uint8_t *pixels,
               std::string &error) {
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = write_rows(file, width, height, channels, pixels);
    if (std::fclose(file) != 0) written = false;
    if (!written) error = "cannot write PNG " + path;
    return written;
}

}  // namespace kalmo
