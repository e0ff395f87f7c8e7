// Audio blocks on the protocol output. Samples pass through unchanged; every
// block carries the sample rate current when it is sent, rounded half up.
#include "audio/audio_output.h"

#include "channel/packet.h"
#include "host/host_state.h"

static const size_t max_block_frames = 65536;

static int16_t gathered_samples[2048];
int32_t gathered_sample_count;

// A rate too large for 32 bits is clamped rather than converted undefined.
static uint32_t rounded_sample_rate(void) {
    double rounded = sample_rate + 0.5;
    return rounded >= 4294967295.0 ? 4294967295u : (uint32_t)rounded;
}

void send_audio_block(const int16_t *samples, size_t frames) {
    if (!samples || frames == 0) return;
    uint32_t count = frames > max_block_frames ? (uint32_t)max_block_frames : (uint32_t)frames;
    send_packet_header(PACKET_AUDIO, count * 4 + 8);
    uint8_t block_header[8];
    store_u32(block_header, rounded_sample_rate());
    store_u32(block_header + 4, count);
    write_all(protocol_output, block_header, sizeof block_header);
    write_all(protocol_output, samples, count * 4);
}

void flush_gathered_audio(void) {
    if (gathered_sample_count == 0) return;
    send_audio_block(gathered_samples, (size_t)gathered_sample_count / 2);
    gathered_sample_count = 0;
}

void audio_sample(int16_t left, int16_t right) {
    if (gathered_sample_count >= 2047) flush_gathered_audio();
    gathered_samples[gathered_sample_count] = left;
    gathered_samples[gathered_sample_count + 1] = right;
    gathered_sample_count += 2;
    if (gathered_sample_count >= 1024) flush_gathered_audio();
}

// Gathered single frames go out first so a core that mixes both callbacks
// keeps its audio in order, and a batch larger than one block is sent whole
// as several blocks rather than cut.
size_t audio_sample_batch(const int16_t *data, size_t frames) {
    if (!data || frames == 0) return frames;
    flush_gathered_audio();
    const int16_t *next = data;
    for (size_t left = frames; left > 0;) {
        size_t count = left > max_block_frames ? max_block_frames : left;
        send_audio_block(next, count);
        next += count * 2;
        left -= count;
    }
    return frames;
}
