// libFuzzer harness of kalmo-client's packet parser, the one every native
// parent reads the host through.
//
// An arbitrary stream is parsed twice: all at once, and cut into arbitrary
// arrivals, half of them read straight into the payload in place as the
// library's reader thread does. Both readings must give the same packets at
// the same offsets and fail, if at all, at the same offset; every packet
// handed out must agree with its own header and decode, and a failed parser
// must take nothing more.
//
// Input: byte 0 flags (bit 0: a payload pool), bytes 1 to 8 the arrival
// sizes (cycled, 0 read as 1), the rest the stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace {

struct reading {
    std::vector<kalmo::Packet> packets;
    bool failed = false;
    uint64_t error_offset = 0;
};

void check(bool condition) {
    if (!condition) std::abort();
}

// A packet out of the parser obeys the format it checked.
void check_packet(const kalmo::Packet &packet) {
    std::string error;
    if (packet.type == kalmo::kVideoPacket) {
        kalmo::VideoFrame frame;
        check(kalmo::decode_video(packet, frame, error));
        check(frame.width >= 1 && frame.width <= kalmo::kMaxFrameSide);
        check(frame.height >= 1 && frame.height <= kalmo::kMaxFrameSide);
        check(frame.rgba.size() == size_t(frame.width) * frame.height * 4);
    } else if (packet.type == kalmo::kAudioPacket) {
        kalmo::AudioBlock block;
        check(kalmo::decode_audio(packet, block, error));
        check(block.frames >= 1 && block.frames <= kalmo::kMaxAudioFrames);
        check(block.samples.size() == size_t(block.frames) * 2);
    } else {
        check(packet.type == kalmo::kStatusPacket);
        check(packet.payload.size() <= kalmo::kMaxStatusLength);
    }
}

void take_ready(kalmo::PacketParser &parser, reading &out) {
    while (parser.has_packet()) {
        out.packets.push_back(parser.take_packet());
        check_packet(out.packets.back());
    }
}

reading read_whole(const uint8_t *stream, size_t size) {
    reading out;
    kalmo::PacketParser parser;
    size_t at = 0;
    while (at < size && !parser.failed()) {
        at += parser.consume(stream + at, size - at);
        take_ready(parser, out);
    }
    out.failed = parser.failed();
    out.error_offset = parser.error_offset();
    if (out.failed) check(parser.consume(stream, size) == 0);
    return out;
}

reading read_in_pieces(const uint8_t *cuts, const uint8_t *stream, size_t size, kalmo::PayloadPool *pool) {
    reading out;
    kalmo::PacketParser parser(pool);
    size_t at = 0;
    for (int piece = 0; at < size && !parser.failed(); piece++) {
        size_t length = cuts[piece % 8] ? cuts[piece % 8] : 1;
        if (length > size - at) length = size - at;
        size_t room = 0;
        uint8_t *into = piece % 2 ? parser.payload_room(room) : nullptr;
        if (into) {
            if (length > room) length = room;
            std::memcpy(into, stream + at, length);
            parser.commit_payload(length);
            at += length;
        } else {
            while (length > 0 && !parser.failed()) {
                size_t taken = parser.consume(stream + at, length);
                at += taken;
                length -= taken;
                take_ready(parser, out);
            }
        }
        take_ready(parser, out);
        // Packets given back are reused: a stale byte must never leak into the next one.
        if (pool && !out.packets.empty() && out.packets.size() % 3 == 0) {
            std::vector<uint8_t> copy = out.packets.back().payload;
            pool->give_back(std::move(out.packets.back().payload));
            out.packets.back().payload = copy;
        }
    }
    out.failed = parser.failed();
    out.error_offset = parser.error_offset();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    bool with_pool = data[0] & 1;
    const uint8_t *cuts = data + 1;
    const uint8_t *stream = data + 9;
    size_t length = size - 9;

    reading whole = read_whole(stream, length);
    kalmo::PayloadPool pool;
    reading pieces = read_in_pieces(cuts, stream, length, with_pool ? &pool : nullptr);

    check(whole.failed == pieces.failed);
    if (whole.failed) check(whole.error_offset == pieces.error_offset);
    check(whole.packets.size() == pieces.packets.size());
    for (size_t i = 0; i < whole.packets.size(); i++) {
        check(whole.packets[i].type == pieces.packets[i].type);
        check(whole.packets[i].offset == pieces.packets[i].offset);
        check(whole.packets[i].payload == pieces.packets[i].payload);
    }
    return 0;
}
