// Reading back what the parent-side tools write, for their tests: PNG
// images (through libpng, as 8-bit RGBA whatever their colour type), WAV
// files, and JSON documents such as the recorder's summary.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kalmo_tools_test {

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
    // Pixel as 0xRRGGBBAA, the same form as kalmo::VideoFrame::pixel.
    uint32_t pixel(uint32_t x, uint32_t y) const;
};

// False (and an empty image) when the file is missing or not a PNG.
bool read_png(const std::string &path, Image &image);

struct Wav {
    uint32_t sample_rate = 0;
    uint16_t channels = 0, bits = 0;
    std::vector<int16_t> samples;
};

bool read_wav(const std::string &path, Wav &wav);

// A parsed JSON value: enough of JSON for the files the tools write.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    // Member access that yields a null value for a missing key.
    const Json &operator[](const std::string &key) const;
    bool is_null() const { return kind == kNull; }
};

// False on a syntax error.
bool parse_json(const std::string &text, Json &value);

}  // namespace kalmo_tools_test
