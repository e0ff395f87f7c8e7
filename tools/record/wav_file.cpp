// RIFF/WAVE writer for the recorder's audio.
#include "wav_file.h"

#include <cerrno>
#include <cstring>

namespace kalmo {

namespace {

void put_u32(uint8_t *p, uint32_t value) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(value >> (8 * i));
}

void put_u16(uint8_t *p, uint16_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

}  // namespace

bool WavWriter::open(const std::string &path, uint32_t sample_rate, std::string &error) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    sample_rate_ = sample_rate;
    frames_ = 0;
    failed_ = false;
    return write_header();
}

bool WavWriter::write_header() {
    // Sizes beyond 4 GiB do not fit RIFF; they are capped rather than wrapped.
    uint64_t data_bytes = frames_ * 4;
    uint32_t data_size = data_bytes > 0xFFFFFFF0u - 36 ? 0xFFFFFFF0u - 36 : uint32_t(data_bytes);
    uint8_t header[44];
    std::memcpy(header, "RIFF", 4);
    put_u32(header + 4, 36 + data_size);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put_u32(header + 16, 16);
    put_u16(header + 20, 1);  // PCM
    put_u16(header + 22, 2);
    put_u32(header + 24, sample_rate_);
    put_u32(header + 28, sample_rate_ * 4);
    put_u16(header + 32, 4);
    put_u16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    put_u32(header + 40, data_size);
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, file_) != sizeof header)
        failed_ = true;
    std::fseek(file_, 0, SEEK_END);
    return !failed_;
}

bool WavWriter::append(const int16_t *samples, uint32_t frames) {
    if (!file_) return false;
    uint8_t buffer[4096];
    uint32_t done = 0;
    while (done < frames) {
        uint32_t chunk = frames - done < sizeof buffer / 4 ? frames - done : uint32_t(sizeof buffer / 4);
        for (uint32_t i = 0; i < chunk * 2; i++) put_u16(buffer + 2 * i, uint16_t(samples[done * 2 + i]));
        if (std::fwrite(buffer, 4, chunk, file_) != chunk) failed_ = true;
        done += chunk;
    }
    frames_ += frames;
    return !failed_;
}

bool WavWriter::close() {
    if (!file_) return !failed_;
    write_header();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

}  // namespace kalmo
