// What the parent would see of the host on the fake platform: the status
// messages decoded from the protocol output by the tools' own decoder, and
// the diagnostic stream cut into its CR LF lines. Header only, so the unit
// test glob needs nothing besides the *_test.cpp files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform/fake_platform.h"
#include "stream_decoder.h"

// Status texts of every packet on the protocol output, in order. A stream
// that does not decode into whole status packets fails the calling test.
inline std::vector<std::string> status_messages(void) {
    kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
    EXPECT_EQ(stream.error, "") << "protocol output does not decode whole";
    EXPECT_EQ(stream.statuses.size(), stream.packets.size()) << "protocol output holds packets other than status";
    return stream.statuses;
}

// The diagnostic stream as lines without their CR LF. Bytes after the last
// CR LF fail the calling test and are returned as a last, unended line.
inline std::vector<std::string> diagnostic_lines(void) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = fake.diagnostics.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(fake.diagnostics.substr(start, end - start));
    if (start < fake.diagnostics.size()) {
        ADD_FAILURE() << "diagnostic stream ends inside a line";
        lines.push_back(fake.diagnostics.substr(start));
    }
    return lines;
}

// Forgets what reached the streams so far, keeping the host's state.
inline void forget_output(void) {
    fake.protocol.clear();
    fake.diagnostics.clear();
    fake.sink.clear();
    fake.writes.clear();
}

// The bytes of one status packet as they should appear on the wire.
inline std::string status_packet_bytes(const std::string &text) {
    std::string bytes = "KLMP";
    bytes += '\x03';
    uint32_t length = (uint32_t)text.size();
    for (int shift = 0; shift < 32; shift += 8) bytes += (char)(uint8_t)(length >> shift);
    return bytes + text;
}
