// The demo's sound: a short looping melody on a triangle wave, and a blip
// for each click, rendered as interleaved 16-bit stereo at 48000 Hz.
#pragma once

#include <stdint.h>

#define DEMO_SAMPLE_RATE 48000

// Back to the first note, blips silenced.
void tune_reset(void);

// Starts a short blip, panned by `pan` from 0 (left) to 255 (right).
void tune_blip(int pan);

// Renders `frames` stereo frames into `out` (2 * frames samples). The melody
// is heard only when `melody_on`; blips always are.
void tune_render(int16_t *out, int frames, bool melody_on);
