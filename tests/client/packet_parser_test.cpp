// The library's packet parser: whole packets out of any split of the bytes,
// and a stop with the offending offset at anything that contradicts the
// format, never a guess.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stream_decoder.h"

namespace client_test {
namespace {

std::string u32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) bytes[size_t(i)] = char(value >> (8 * i));
    return bytes;
}

std::string packet(uint8_t type, const std::string &payload) {
    return "KLMP" + std::string(1, char(type)) + u32(uint32_t(payload.size())) + payload;
}

std::string video(uint32_t width, uint32_t height) {
    std::string pixels(size_t(width) * height * 4, '\x7f');
    return packet(1, u32(width) + u32(height) + pixels);
}

std::string audio(uint32_t frames) { return packet(2, u32(48000) + u32(frames) + std::string(frames * 4, '\x01')); }

// Feeds the stream in pieces of `piece` bytes; returns the types parsed.
std::string parse_in_pieces(const std::string &stream, size_t piece, kalmo::PacketParser &parser) {
    std::string types;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(stream.data());
    for (size_t at = 0; at < stream.size() && !parser.failed();) {
        size_t count = std::min(piece, stream.size() - at);
        size_t used = 0;
        while (used < count && !parser.failed()) {
            used += parser.consume(bytes + at + used, count - used);
            if (parser.has_packet()) types += char('0' + parser.take_packet().type);
        }
        at += count;
    }
    return types;
}

TEST(ClientPacketParser, AnySplitOfTheBytesGivesTheSameWholePackets) {
    std::string stream = packet(3, R"({"state":"running"})") + video(3, 2) + audio(5) + packet(3, "") + video(1, 1);
    for (size_t piece : {size_t(1), size_t(2), size_t(9), size_t(10), size_t(1000)}) {
        kalmo::PacketParser parser;
        EXPECT_EQ(parse_in_pieces(stream, piece, parser), "31231") << piece;
        EXPECT_FALSE(parser.failed()) << parser.error();
        EXPECT_EQ(parser.pending(), 0u);
        EXPECT_EQ(parser.offset(), stream.size());
    }
}

TEST(ClientPacketParser, APayloadReadStraightIntoPlaceCompletesThePacket) {
    std::string frame = video(64, 64);
    kalmo::PacketParser parser;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(frame.data());
    ASSERT_EQ(parser.consume(bytes, 20), 20u);
    size_t room = 0;
    uint8_t *into = parser.payload_room(room);
    ASSERT_NE(into, nullptr);
    ASSERT_EQ(room, frame.size() - 20);
    std::memcpy(into, bytes + 20, room);
    parser.commit_payload(room);
    ASSERT_TRUE(parser.has_packet());
    kalmo::Packet whole = parser.take_packet();
    EXPECT_EQ(std::string(whole.payload.begin(), whole.payload.end()), frame.substr(9));
}

TEST(ClientPacketParser, ContradictionsStopTheStreamNamingTheOffsetOfTheBadPacket) {
    std::string good = video(2, 2);
    struct Case {
        std::string bad, says;
    } cases[] = {
        {"KLMQ" + good.substr(4), "bad magic"},
        {packet(4, "x"), "unknown packet type 4"},
        {packet(1, u32(1) + u32(1)), "impossible length 8 for packet type 1"},
        {"KLMP\x01" + u32(8 + 8193u * 4) + u32(8193) + u32(1), "video frame 8193x1 contradicts its length"},
        {packet(1, u32(3) + u32(2) + std::string(20, 'x')), "video frame 3x2 contradicts its length 28"},
        {packet(1, u32(0) + u32(2) + std::string(4, 'x')), "video frame 0x2"},
        {packet(2, u32(48000) + u32(3) + std::string(8, 'x')), "audio block of 3 frames contradicts its length"},
        {"KLMP\x02" + u32(8 + 65537u * 4), "impossible length"},
        {"KLMP\x03" + u32(65537), "impossible length 65537 for packet type 3"},
    };
    for (const Case &c : cases) {
        kalmo::PacketParser parser;
        parse_in_pieces(good + c.bad + good, 7, parser);
        ASSERT_TRUE(parser.failed()) << c.says;
        EXPECT_EQ(parser.error_offset(), good.size()) << c.says;
        EXPECT_NE(parser.error().find(c.says), std::string::npos) << parser.error();
        EXPECT_NE(parser.error().find("at stream offset " + std::to_string(good.size())), std::string::npos);
    }
}

TEST(ClientPacketParser, StateIsReadFromTheLeadingMemberOnly) {
    EXPECT_EQ(kalmo::status_state(R"({"state":"av","width":4})", 24), "av");
    EXPECT_EQ(kalmo::status_state(R"({"message":"x","state":"av"})", 27), "");
    EXPECT_EQ(kalmo::status_state(R"({"state":"unterminated)", 22), "");
}

}  // namespace
}  // namespace client_test
