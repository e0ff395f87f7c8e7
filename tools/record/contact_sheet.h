// The contact sheet: frames sampled evenly across a run of unknown length,
// kept as small thumbnails in bounded memory, then laid out in a grid with
// each frame's number and time under it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace kalmo {

struct Thumbnail {
    uint64_t frame_number = 0;  // 1 = first frame of the run
    double seconds = 0;         // since "running"
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// Shrinks by a whole factor (box filter) until the width is at most
// `max_width`; never enlarges.
Thumbnail make_thumbnail(const VideoFrame &frame, uint64_t frame_number, double seconds, uint32_t max_width);

// Keeps every stride-th frame; when four times the wanted count is held it drops
// every other one and doubles the stride, so memory stays bounded whatever
// the run's length and the kept frames stay evenly spread.
class FrameSampler {
public:
    FrameSampler(size_t wanted, uint32_t max_width) : wanted_(wanted < 2 ? 2 : wanted), max_width_(max_width) {}
    // Frames must be offered in order, numbered from 1.
    void offer(const VideoFrame &frame, uint64_t frame_number, double seconds);
    // At most `wanted` thumbnails spread over the run, the last frame given
    // here included.
    std::vector<Thumbnail> pick(const VideoFrame *last_frame, uint64_t last_number, double last_seconds) const;

private:
    size_t wanted_;
    uint32_t max_width_;
    uint64_t stride_ = 1;
    std::vector<Thumbnail> kept_;
};

struct RgbImage {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

RgbImage compose_contact_sheet(const std::vector<Thumbnail> &thumbnails, int columns);

}  // namespace kalmo
