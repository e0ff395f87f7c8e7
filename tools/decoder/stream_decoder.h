// Decoder of the host's protocol output, for the parent's side: tests, the
// recorder and the viewer all read the packet stream through this one place.
//
// The stream is a run of packets: "KLMP", a type byte, a little-endian 32-bit
// payload length, then the payload. Type 1 is a video frame (width, height,
// RGBA rows), type 2 an audio block (rate, frame count, 16-bit stereo), type 3
// a one-line JSON status message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kalmo {

enum PacketType : uint8_t { kVideoPacket = 1, kAudioPacket = 2, kStatusPacket = 3 };

struct Packet {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
};

struct VideoFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgba;  // height rows of width * 4 bytes
    // Pixel (x, y) as 0xRRGGBBAA.
    uint32_t pixel(uint32_t x, uint32_t y) const;
};

struct AudioBlock {
    uint32_t sample_rate = 0;
    uint32_t frames = 0;
    std::vector<int16_t> samples;  // frames * 2, left then right
};

// Incremental decoder: feed bytes as they arrive, take whole packets out.
// After an error (bad magic, unknown type) it stays failed.
class StreamDecoder {
public:
    void feed(const void *bytes, size_t count);
    // True and fills `packet` when a whole packet is buffered.
    bool next(Packet &packet);
    bool failed() const { return !error_.empty(); }
    const std::string &error() const { return error_; }
    // Bytes held that do not yet make a whole packet.
    size_t pending() const { return buffer_.size() - offset_; }

private:
    std::vector<uint8_t> buffer_;
    size_t offset_ = 0;
    std::string error_;
};

bool decode_video(const Packet &packet, VideoFrame &frame, std::string &error);
bool decode_audio(const Packet &packet, AudioBlock &block, std::string &error);
std::string status_text(const Packet &packet);

// A whole stream, decoded. `error` is empty when every byte formed whole,
// valid packets; a truncated last packet is reported there too.
struct DecodedStream {
    std::vector<Packet> packets;
    std::vector<std::string> statuses;
    std::vector<VideoFrame> frames;
    std::vector<AudioBlock> audio;
    std::string error;
};

DecodedStream decode_stream(const std::string &bytes);

}  // namespace kalmo
