// WAV output: 16-bit stereo PCM at one sample rate. The header's sizes are
// written when the file is closed, so a file closed early is still valid.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kalmo {

class WavWriter {
public:
    WavWriter() = default;
    WavWriter(const WavWriter &) = delete;
    WavWriter &operator=(const WavWriter &) = delete;
    ~WavWriter() { close(); }

    bool open(const std::string &path, uint32_t sample_rate, std::string &error);
    // Appends interleaved left/right samples.
    bool append(const int16_t *samples, uint32_t frames);
    bool close();
    bool is_open() const { return file_ != nullptr; }
    uint32_t sample_rate() const { return sample_rate_; }
    uint64_t frames() const { return frames_; }
    const std::string &path() const { return path_; }

private:
    bool write_header();

    FILE *file_ = nullptr;
    std::string path_;
    uint32_t sample_rate_ = 0;
    uint64_t frames_ = 0;
    bool failed_ = false;
};

}  // namespace kalmo
