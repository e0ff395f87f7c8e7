// kalmo-stream-dump: reads a recorded packet stream (a file, or standard
// input) through the stream decoder and prints one line per packet, so
// other parsers (the web package's) can be compared with it byte for byte:
//   video WIDTH HEIGHT FNV1A(rgba)
//   audio RATE FRAMES FNV1A(samples as 16-bit little-endian)
//   status JSON-TEXT
// and a last line `error TEXT` when the stream is not whole and valid.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "stream_decoder.h"

namespace {

uint32_t fnv1a(uint32_t hash, uint8_t byte) { return (hash ^ byte) * 16777619u; }

uint32_t hash_bytes(const std::vector<uint8_t> &bytes) {
    uint32_t hash = 2166136261u;
    for (uint8_t byte : bytes) hash = fnv1a(hash, byte);
    return hash;
}

uint32_t hash_samples(const std::vector<int16_t> &samples) {
    uint32_t hash = 2166136261u;
    for (int16_t sample : samples) {
        uint16_t bits = uint16_t(sample);
        hash = fnv1a(fnv1a(hash, uint8_t(bits & 0xff)), uint8_t(bits >> 8));
    }
    return hash;
}

}  // namespace

int main(int argc, char **argv) {
    std::string bytes;
    if (argc > 1) {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "kalmo-stream-dump: cannot read %s\n", argv[1]);
            return 2;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    kalmo::DecodedStream stream = kalmo::decode_stream(bytes);
    size_t frame = 0, block = 0, status = 0;
    for (const kalmo::Packet &packet : stream.packets) {
        if (packet.type == kalmo::kVideoPacket && frame < stream.frames.size()) {
            const kalmo::VideoFrame &video = stream.frames[frame++];
            std::printf("video %u %u %08x\n", video.width, video.height, hash_bytes(video.rgba));
        } else if (packet.type == kalmo::kAudioPacket && block < stream.audio.size()) {
            const kalmo::AudioBlock &audio = stream.audio[block++];
            std::printf("audio %u %u %08x\n", audio.sample_rate, audio.frames, hash_samples(audio.samples));
        } else if (packet.type == kalmo::kStatusPacket) {
            std::printf("status %s\n", stream.statuses[status++].c_str());
        }
    }
    if (!stream.error.empty()) std::printf("error %s\n", stream.error.c_str());
    return 0;
}
