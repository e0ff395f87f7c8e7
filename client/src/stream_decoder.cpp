// Packet stream parsing; see stream_decoder.h for the format and the checks.
#include "stream_decoder.h"

#include <cstring>

namespace kalmo {

namespace {

uint32_t read_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint64_t kMaxVideoLength = 8 + uint64_t(kMaxFrameSide) * kMaxFrameSide * 4;
constexpr uint64_t kMaxAudioLength = 8 + uint64_t(kMaxAudioFrames) * 4;

}  // namespace

uint32_t VideoFrame::pixel(uint32_t x, uint32_t y) const {
    const uint8_t *p = &rgba[(size_t(y) * width + x) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

std::vector<uint8_t> PayloadPool::take(size_t size) {
    std::vector<uint8_t> buffer;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // Prefer a buffer of the very size: resizing it then touches nothing.
        for (size_t i = free_.size(); i-- > 0;) {
            if (free_[i].size() == size || i == 0) {
                buffer = std::move(free_[i]);
                free_.erase(free_.begin() + long(i));
                break;
            }
        }
    }
    buffer.resize(size);
    return buffer;
}

void PayloadPool::give_back(std::vector<uint8_t> &&buffer) {
    std::lock_guard<std::mutex> hold(lock_);
    if (free_.size() < 8) free_.push_back(std::move(buffer));
}

void PacketParser::fail(const std::string &what) {
    error_offset_ = packet_offset_;
    error_ = what + " at stream offset " + std::to_string(packet_offset_);
}

void PacketParser::check_header() {
    if (std::memcmp(header_, "KLMP", 4) != 0) return fail("bad magic");
    uint8_t type = header_[4];
    uint32_t length = read_u32(header_ + 5);
    bool fits = false;
    if (type == kVideoPacket) fits = length >= 12 && length <= kMaxVideoLength;
    else if (type == kAudioPacket) fits = length >= 12 && length <= kMaxAudioLength;
    else if (type == kStatusPacket) fits = length <= kMaxStatusLength;
    else return fail("unknown packet type " + std::to_string(type));
    if (!fits) return fail("impossible length " + std::to_string(length) + " for packet type " + std::to_string(type));
    packet_.type = type;
    packet_.offset = packet_offset_;
    packet_.payload = pool_ ? pool_->take(length) : std::vector<uint8_t>(length);
    payload_fill_ = 0;
    in_payload_ = true;
    // An empty status is whole with its header.
    finish_if_whole();
}

// The first eight payload bytes of video and audio carry sizes that must
// agree with the header's length.
void PacketParser::check_payload_start() {
    const uint8_t *p = packet_.payload.data();
    uint64_t length = packet_.payload.size();
    if (packet_.type == kVideoPacket) {
        uint32_t width = read_u32(p), height = read_u32(p + 4);
        if (width < 1 || width > kMaxFrameSide || height < 1 || height > kMaxFrameSide ||
            8 + uint64_t(width) * height * 4 != length)
            fail("video frame " + std::to_string(width) + "x" + std::to_string(height) + " contradicts its length " +
                 std::to_string(length));
    } else if (packet_.type == kAudioPacket) {
        uint32_t frames = read_u32(p + 4);
        if (frames < 1 || frames > kMaxAudioFrames || 8 + uint64_t(frames) * 4 != length)
            fail("audio block of " + std::to_string(frames) + " frames contradicts its length " +
                 std::to_string(length));
    }
}

void PacketParser::finish_if_whole() {
    if (payload_fill_ < packet_.payload.size()) return;
    in_payload_ = false;
    header_fill_ = 0;
    payload_fill_ = 0;
    ready_ = true;
    packet_offset_ = offset_;
}

size_t PacketParser::consume(const uint8_t *bytes, size_t count) {
    size_t taken = 0;
    while (taken < count && !ready_ && !failed()) {
        if (!in_payload_) {
            size_t want = kPacketHeaderSize - header_fill_;
            size_t step = count - taken < want ? count - taken : want;
            std::memcpy(header_ + header_fill_, bytes + taken, step);
            header_fill_ += step;
            taken += step;
            offset_ += step;
            if (header_fill_ == kPacketHeaderSize) check_header();
            continue;
        }
        size_t room = 0;
        uint8_t *into = payload_room(room);
        size_t step = count - taken < room ? count - taken : room;
        std::memcpy(into, bytes + taken, step);
        taken += step;
        commit_payload(step);
    }
    return taken;
}

uint8_t *PacketParser::payload_room(size_t &room) {
    room = 0;
    if (!in_payload_ || failed()) return nullptr;
    room = packet_.payload.size() - payload_fill_;
    return packet_.payload.data() + payload_fill_;
}

void PacketParser::commit_payload(size_t count) {
    size_t before = payload_fill_;
    payload_fill_ += count;
    offset_ += count;
    if (before < 8 && payload_fill_ >= 8 && packet_.type != kStatusPacket) check_payload_start();
    if (!failed()) finish_if_whole();
}

Packet PacketParser::take_packet() {
    ready_ = false;
    return std::move(packet_);
}

void StreamDecoder::feed(const void *bytes, size_t count) {
    if (next_ready_ == ready_.size()) {
        ready_.clear();
        next_ready_ = 0;
    }
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    while (count > 0 && !parser_.failed()) {
        size_t taken = parser_.consume(b, count);
        b += taken;
        count -= taken;
        if (parser_.has_packet()) ready_.push_back(parser_.take_packet());
    }
}

bool StreamDecoder::next(Packet &packet) {
    if (next_ready_ == ready_.size()) return false;
    packet = std::move(ready_[next_ready_++]);
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

std::string status_state(const char *text, size_t length) {
    static const char kLead[] = "{\"state\":\"";
    const size_t lead = sizeof kLead - 1;
    if (length < lead || std::memcmp(text, kLead, lead) != 0) return {};
    const char *end = static_cast<const char *>(std::memchr(text + lead, '"', length - lead));
    return end ? std::string(text + lead, end) : std::string();
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
