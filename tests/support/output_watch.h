// Follows a host's standard output as it arrives, for the waits of an input
// script ("until N frames", "until a status containing TEXT"). Shared by the
// Linux process runner and the Windows test parent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace kalmo_test {

struct OutputWatch {
    kalmo::StreamDecoder decoder;
    uint64_t frames = 0;
    std::vector<std::string> statuses;

    void feed(const char *bytes, size_t count) {
        decoder.feed(bytes, count);
        kalmo::Packet packet;
        while (decoder.next(packet)) {
            if (packet.type == kalmo::kVideoPacket) frames++;
            if (packet.type == kalmo::kStatusPacket) statuses.push_back(kalmo::status_text(packet));
        }
    }

    bool saw_status(const std::string &text) const {
        for (const std::string &status : statuses)
            if (status.find(text) != std::string::npos) return true;
        return false;
    }
};

}  // namespace kalmo_test
