// The one C++ parser of the host's packet stream (internal C++ API of
// kalmo-client): the library's reader threads, the project's tools and the
// tests all read packets through this file.
//
// The stream is a run of packets: "KLMP", a type byte, a little-endian 32-bit
// payload length, then the payload. Type 1 is a video frame (width, height,
// RGBA rows), type 2 an audio block (rate, frame count, 16-bit stereo), type 3
// a one-line JSON status message.
//
// The parser never guesses: a header whose magic, type or length contradicts
// the format, or a video or audio payload whose own sizes contradict its
// length, stops it for good with a message naming the byte offset where the
// offending packet began.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kalmo {

enum PacketType : uint8_t { kVideoPacket = 1, kAudioPacket = 2, kStatusPacket = 3 };

constexpr size_t kPacketHeaderSize = 9;
constexpr uint32_t kMaxFrameSide = 8192;
constexpr uint32_t kMaxAudioFrames = 65536;
// The host's status lines stay under a kilobyte; anything this long is a
// stream that has lost its framing.
constexpr uint32_t kMaxStatusLength = 65536;

struct Packet {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    uint64_t offset = 0;  // where its header began in the stream
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

// Payload buffers handed back by whoever took a packet, so a steady stream
// of same-sized frames stops allocating (and zero-filling) memory. Any
// thread may give one back.
class PayloadPool {
public:
    std::vector<uint8_t> take(size_t size);
    void give_back(std::vector<uint8_t> &&buffer);

private:
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> free_;
};

// Incremental parser: bytes in, whole checked packets out.
class PacketParser {
public:
    explicit PacketParser(PayloadPool *pool = nullptr) : pool_(pool) {}

    // Takes bytes up to the end of the packet under way; returns how many it
    // took. After it, has_packet() may be true; failed() once the stream is
    // desynchronised (nothing is taken from then on).
    size_t consume(const uint8_t *bytes, size_t count);
    bool has_packet() const { return ready_; }
    Packet take_packet();

    // While a payload is being filled: where its missing bytes go, so a
    // reader can read a large payload straight into place. Null otherwise.
    uint8_t *payload_room(size_t &room);
    void commit_payload(size_t count);

    bool failed() const { return !error_.empty(); }
    const std::string &error() const { return error_; }
    uint64_t error_offset() const { return error_offset_; }
    // Bytes held that do not yet make a whole packet.
    size_t pending() const { return header_fill_ + payload_fill_; }
    uint64_t offset() const { return offset_; }

private:
    void check_header();
    void check_payload_start();
    void fail(const std::string &what);
    void finish_if_whole();

    PayloadPool *pool_;
    uint8_t header_[kPacketHeaderSize] = {};
    size_t header_fill_ = 0;
    Packet packet_;
    size_t payload_fill_ = 0;
    bool in_payload_ = false;
    bool ready_ = false;
    uint64_t offset_ = 0;  // stream bytes taken so far
    uint64_t packet_offset_ = 0;
    uint64_t error_offset_ = 0;
    std::string error_;
};

// The parser over a buffer, for callers that feed bytes and poll for packets.
class StreamDecoder {
public:
    void feed(const void *bytes, size_t count);
    // True and fills `packet` when a whole packet is buffered.
    bool next(Packet &packet);
    bool failed() const { return parser_.failed(); }
    const std::string &error() const { return parser_.error(); }
    // Bytes held that do not yet make a whole packet.
    size_t pending() const { return parser_.pending(); }

private:
    PacketParser parser_;
    std::vector<Packet> ready_;
    size_t next_ready_ = 0;
};

bool decode_video(const Packet &packet, VideoFrame &frame, std::string &error);
bool decode_audio(const Packet &packet, AudioBlock &block, std::string &error);
std::string status_text(const Packet &packet);
// The value of a status line's leading "state" member; empty when it has none.
std::string status_state(const char *text, size_t length);

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
