// Audio: batches sent at once, single frames gathered into 512-frame blocks.
#pragma once

#include <stddef.h>
#include <stdint.h>

void audio_sample(int16_t left, int16_t right);
size_t audio_sample_batch(const int16_t *data, size_t frames);
// One audio block of at most 65536 frames.
void send_audio_block(const int16_t *samples, size_t frames);
// Sends whatever single frames are still gathered (shutdown, and before a batch).
void flush_gathered_audio(void);

extern int32_t gathered_sample_count;
