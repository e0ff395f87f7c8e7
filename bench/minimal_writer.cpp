// The minimal writer: the floor the host is measured against. It sends the
// video packets the host would send for the bench core's picture, with the
// same write pattern (the 9-byte packet header, the 8-byte frame header, one
// write per row) but from rows converted once beforehand, so no conversion,
// no core and no input polling happen while it streams. It writes down when
// each frame began and its CPU time then, like the bench core.
//
//   kalmo_minimal_writer FORMAT WIDTH HEIGHT FRAMES RECORD
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "frame_pattern.h"
#include "video/pixel_conversion.h"

static int64_t clock_ns(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void write_all(const uint8_t *bytes, size_t count) {
    while (count) {
        ssize_t done = write(1, bytes, count);
        if (done <= 0) return;
        bytes += done;
        count -= (size_t)done;
    }
}

static void store_u32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s FORMAT WIDTH HEIGHT FRAMES RECORD\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    uint32_t format = (uint32_t)atol(argv[1]), width = (uint32_t)atol(argv[2]), height = (uint32_t)atol(argv[3]);
    uint32_t frames = (uint32_t)atol(argv[4]);
    size_t pitch = (size_t)width * pattern_bytes_per_pixel(format);
    size_t row_size = (size_t)width * 4;
    std::vector<uint8_t> source(pitch * height), rgba(row_size * height);
    fill_pattern(source.data(), format, width, height, pitch);
    for (uint32_t y = 0; y < height; y++) convert_row(format, source.data() + y * pitch, rgba.data() + y * row_size, width);
    source = std::vector<uint8_t>();

    uint8_t header[9] = {'K', 'L', 'M', 'P', 1};
    store_u32(header + 5, (uint32_t)(row_size * height + 8));
    uint8_t frame_header[8];
    store_u32(frame_header, width);
    store_u32(frame_header + 4, height);
    std::vector<int64_t> wall(frames), cpu(frames);
    for (uint32_t f = 0; f < frames; f++) {
        wall[f] = clock_ns(CLOCK_MONOTONIC);
        cpu[f] = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
        write_all(header, sizeof header);
        write_all(frame_header, sizeof frame_header);
        for (uint32_t y = 0; y < height; y++) write_all(rgba.data() + y * row_size, row_size);
    }
    FILE *record = fopen(argv[5], "w");
    if (!record) return 1;
    for (uint32_t f = 0; f < frames; f++) fprintf(record, "%lld %lld 0 0\n", (long long)wall[f], (long long)cpu[f]);
    fclose(record);
    return 0;
}
