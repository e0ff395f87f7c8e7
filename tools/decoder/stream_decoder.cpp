// Packet stream decoding; see stream_decoder.h for the format.
#include "stream_decoder.h"

#include <cstring>

namespace kalmo {

namespace {

uint32_t read_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr size_t kHeaderSize = 9;

}  // namespace

uint32_t VideoFrame::pixel(uint32_t x, uint32_t y) const {
    const uint8_t *p = &rgba[(size_t(y) * width + x) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void StreamDecoder::feed(const void *bytes, size_t count) {
    // Drop consumed bytes now and then so a long stream does not grow the buffer forever.
    if (offset_ > (1u << 20) && offset_ * 2 > buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + offset_);
        offset_ = 0;
    }
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    buffer_.insert(buffer_.end(), b, b + count);
}

bool StreamDecoder::next(Packet &packet) {
    if (failed() || pending() < kHeaderSize) return false;
    const uint8_t *h = buffer_.data() + offset_;
    if (std::memcmp(h, "KLMP", 4) != 0) {
        error_ = "bad magic at stream offset " + std::to_string(offset_);
        return false;
    }
    if (h[4] < kVideoPacket || h[4] > kStatusPacket) {
        error_ = "unknown packet type " + std::to_string(h[4]) + " at stream offset " + std::to_string(offset_);
        return false;
    }
    uint32_t length = read_u32(h + 5);
    if (pending() - kHeaderSize < length) return false;
    packet.type = h[4];
    packet.payload.assign(h + kHeaderSize, h + kHeaderSize + length);
    offset_ += kHeaderSize + length;
    return true;
}

bool decode_video(const Packet &packet, VideoFrame &frame, std::string &error) {
    if (packet.type != kVideoPacket || packet.payload.size() < 8) {
        error = "not a video frame packet";
        return false;
    }
    frame.width = read_u32(packet.payload.data());
    frame.height = read_u32(packet.payload.data() + 4);
    uint64_t expected = uint64_t(frame.width) * frame.height * 4 + 8;
    if (expected != packet.payload.size()) {
        error = "video frame " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                " has payload " + std::to_string(packet.payload.size()) + ", expected " + std::to_string(expected);
        return false;
    }
    frame.rgba.assign(packet.payload.begin() + 8, packet.payload.end());
    return true;
}

bool decode_audio(const Packet &packet, AudioBlock &block, std::string &error) {
    if (packet.type != kAudioPacket || packet.payload.size() < 8) {
        error = "not an audio block packet";
        return false;
    }
    block.sample_rate = read_u32(packet.payload.data());
    block.frames = read_u32(packet.payload.data() + 4);
    if (uint64_t(block.frames) * 4 + 8 != packet.payload.size()) {
        error = "audio block of " + std::to_string(block.frames) + " frames has payload " +
                std::to_string(packet.payload.size());
        return false;
    }
    block.samples.resize(size_t(block.frames) * 2);
    std::memcpy(block.samples.data(), packet.payload.data() + 8, block.samples.size() * 2);
    return true;
}

std::string status_text(const Packet &packet) {
    return std::string(packet.payload.begin(), packet.payload.end());
}

DecodedStream decode_stream(const std::string &bytes) {
    DecodedStream out;
    StreamDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    Packet packet;
    while (decoder.next(packet)) {
        std::string error;
        if (packet.type == kStatusPacket) {
            out.statuses.push_back(status_text(packet));
        } else if (packet.type == kVideoPacket) {
            VideoFrame frame;
            if (decode_video(packet, frame, error)) out.frames.push_back(std::move(frame));
        } else {
            AudioBlock block;
            if (decode_audio(packet, block, error)) out.audio.push_back(std::move(block));
        }
        if (!error.empty() && out.error.empty()) out.error = error;
        out.packets.push_back(std::move(packet));
    }
    if (decoder.failed())
        out.error = decoder.error();
    else if (decoder.pending() != 0 && out.error.empty())
        out.error = "truncated packet: " + std::to_string(decoder.pending()) + " bytes left at the end";
    return out;
}

}  // namespace kalmo
