// Packet framing on the protocol output and the write loop under it: exact
// header bytes, header and payload in separate writes, partial writes
// completed, failing and zero-byte writes abandoned without stopping the host.
#include <gtest/gtest.h>

#include <string>

#include "channel/packet.h"
#include "host/host_state.h"
#include "parent_view.h"

namespace {

class PacketFraming : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_F(PacketFraming, StatusTextOfNBytesGivesExactlyNinePlusNBytes) {
    send_status("{\"state\":\"running\"}");
    EXPECT_EQ(fake.protocol, std::string("KLMP\x03\x13\x00\x00\x00", 9) + "{\"state\":\"running\"}");
    EXPECT_EQ(fake.diagnostics, "");
}

TEST_F(PacketFraming, MagicGoesOutAsTheBytesKLMPInThatOrder) {
    send_status("x");
    ASSERT_GE(fake.protocol.size(), 4u);
    EXPECT_EQ(fake.protocol[0], 'K');
    EXPECT_EQ(fake.protocol[1], 'L');
    EXPECT_EQ(fake.protocol[2], 'M');
    EXPECT_EQ(fake.protocol[3], 'P');
    uint32_t word = (uint8_t)fake.protocol[0] | (uint8_t)fake.protocol[1] << 8 | (uint8_t)fake.protocol[2] << 16 |
                    (uint32_t)(uint8_t)fake.protocol[3] << 24;
    EXPECT_EQ(word, 0x504D4C4Bu);
}

TEST_F(PacketFraming, PayloadLengthIsLittleEndianWhateverTheHostByteOrder) {
    send_status(std::string(300, 'a').c_str());
    EXPECT_EQ(fake.protocol.substr(0, 9), std::string("KLMP\x03\x2c\x01\x00\x00", 9));
    forget_output();
    send_packet_header(PACKET_VIDEO, 0x04030201u);
    EXPECT_EQ(fake.protocol, std::string("KLMP\x01\x01\x02\x03\x04", 9));
}

TEST_F(PacketFraming, EmptyAndNullTextsSendAHeaderOfLengthZeroAndNothingElse) {
    send_status("");
    EXPECT_EQ(fake.protocol, std::string("KLMP\x03\x00\x00\x00\x00", 9));
    forget_output();
    send_status(nullptr);
    EXPECT_EQ(fake.protocol, std::string("KLMP\x03\x00\x00\x00\x00", 9));
    EXPECT_EQ(status_messages(), std::vector<std::string>{""});
}

TEST_F(PacketFraming, HeaderAndTextGoOutInTwoSeparateWrites) {
    send_status("hello");
    ASSERT_EQ(fake.writes.size(), 2u);
    EXPECT_EQ(fake.writes[0].handle, fake.output);
    EXPECT_EQ(fake.writes[0].requested, 9u);
    EXPECT_EQ(fake.writes[1].handle, fake.output);
    EXPECT_EQ(fake.writes[1].requested, 5u);
}

TEST_F(PacketFraming, PacketsFollowOneAnotherWithNothingBetween) {
    send_status("first");
    send_status("");
    send_status("third");
    EXPECT_EQ(fake.protocol, status_packet_bytes("first") + status_packet_bytes("") + status_packet_bytes("third"));
    EXPECT_EQ(status_messages(), (std::vector<std::string>{"first", "", "third"}));
}

class WriteAll : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_F(WriteAll, PartialWritesAreContinuedUntilEveryByteIsOutInOrder) {
    fake.write_limit = 3;
    send_status("hello world");
    EXPECT_EQ(fake.protocol, status_packet_bytes("hello world"));
    std::vector<uint32_t> requested;
    for (const fake_write &write : fake.writes) requested.push_back(write.requested);
    EXPECT_EQ(requested, (std::vector<uint32_t>{9, 6, 3, 11, 8, 5, 2}));
}

TEST_F(WriteAll, OneByteAtATimeStillDeliversWholePackets) {
    fake.write_limit = 1;
    send_status("{\"state\":\"stopped\"}");
    send_status("abc");
    EXPECT_EQ(status_messages(), (std::vector<std::string>{"{\"state\":\"stopped\"}", "abc"}));
    EXPECT_EQ(fake.writes.size(), 9u + 19u + 9u + 3u);
}

TEST_F(WriteAll, AFailingWriteEndsTheCallWithoutRetrying) {
    fake.failing_writes = 1;
    write_all(fake.output, "0123456789", 10);
    EXPECT_EQ(fake.writes.size(), 1u);
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(WriteAll, AZeroByteWriteEndsTheCallWithoutRetrying) {
    fake.zero_writes = 1;
    write_all(fake.output, "0123456789", 10);
    EXPECT_EQ(fake.writes.size(), 1u);
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(WriteAll, AZeroCountMakesNoWriteAtAll) {
    write_all(fake.output, "abc", 0);
    EXPECT_TRUE(fake.writes.empty());
}

TEST_F(WriteAll, AnUnusableHandleLosesTheBytesSilently) {
    write_all((platform_handle)0x99, "abc", 3);
    write_all(fake.output, "def", 3);
    EXPECT_EQ(fake.protocol, "def");
}

TEST_F(WriteAll, AFailedHeaderStillLetsTheTextGoOutAndLaterPacketsFollow) {
    fake.failing_writes = 1;
    send_status("lost header");
    send_status("next");
    EXPECT_EQ(fake.protocol, "lost header" + status_packet_bytes("next"));
    ASSERT_EQ(fake.writes.size(), 4u);
    EXPECT_EQ(fake.writes[0].written, 0u);
    EXPECT_EQ(fake.writes[1].requested, 11u);
}

TEST_F(WriteAll, AZeroByteHeaderWriteStillLetsTheTextGoOutAndLaterPacketsFollow) {
    fake.zero_writes = 1;
    send_status("lost header");
    send_status("next");
    EXPECT_EQ(fake.protocol, "lost header" + status_packet_bytes("next"));
}

TEST_F(WriteAll, AFailedTextLeavesTheHeaderAloneAndLaterPacketsFollow) {
    send_packet_header(PACKET_STATUS, 4);
    fake.failing_writes = 1;
    write_all(protocol_output, "gone", 4);
    send_status("next");
    EXPECT_EQ(fake.protocol, std::string("KLMP\x03\x04\x00\x00\x00", 9) + status_packet_bytes("next"));
}

}  // namespace
