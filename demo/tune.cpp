// Melody and blip synthesis. Everything is integer arithmetic on phase
// accumulators, so the same frames always give the same samples.
#include "tune.h"

namespace {

constexpr uint32_t phase_step(double hertz) { return uint32_t(hertz * 4294967296.0 / DEMO_SAMPLE_RATE); }

// A public-domain nursery tune, one note per step; 0 is a rest.
const uint32_t melody[] = {
    phase_step(659.26), phase_step(587.33), phase_step(523.25), phase_step(587.33),
    phase_step(659.26), phase_step(659.26), phase_step(659.26), 0,
    phase_step(587.33), phase_step(587.33), phase_step(587.33), 0,
    phase_step(659.26), phase_step(783.99), phase_step(783.99), 0,
};
constexpr int melody_steps = sizeof melody / sizeof melody[0];
constexpr int step_samples = DEMO_SAMPLE_RATE / 5;
constexpr int melody_peak = 7000;
constexpr int blip_samples = DEMO_SAMPLE_RATE / 20;
constexpr int blip_peak = 9000;

int sample_in_step;
int step;
uint32_t melody_phase;
int blip_left;
uint32_t blip_phase;
int blip_pan;

int triangle(uint32_t phase) {
    int p = int(phase >> 16);
    return p < 32768 ? p * 2 - 32768 : (65535 - p) * 2 - 32768;
}

int clamp16(int value) { return value > 32767 ? 32767 : value < -32768 ? -32768 : value; }

}  // namespace

void tune_reset(void) {
    sample_in_step = 0;
    step = 0;
    melody_phase = 0;
    blip_left = 0;
}

void tune_blip(int pan) {
    blip_left = blip_samples;
    blip_phase = 0;
    blip_pan = pan < 0 ? 0 : pan > 255 ? 255 : pan;
}

void tune_render(int16_t *out, int frames, bool melody_on) {
    for (int i = 0; i < frames; i++) {
        int left = 0, right = 0;
        uint32_t note = melody[step];
        if (melody_on && note != 0) {
            // Linear decay over the step gives each note a plucked start.
            int amplitude = melody_peak * (step_samples - sample_in_step) / step_samples;
            int value = triangle(melody_phase) * amplitude / 32768;
            left += value;
            right += value;
            melody_phase += note;
        }
        if (++sample_in_step == step_samples) {
            sample_in_step = 0;
            step = (step + 1) % melody_steps;
            melody_phase = 0;
        }
        if (blip_left > 0) {
            int amplitude = blip_peak * blip_left / blip_samples;
            int value = (blip_phase & 0x80000000u ? amplitude : -amplitude);
            left += value * (255 - blip_pan) / 255;
            right += value * blip_pan / 255;
            blip_phase += phase_step(1318.51);
            blip_left--;
        }
        out[2 * i] = int16_t(clamp16(left));
        out[2 * i + 1] = int16_t(clamp16(right));
    }
}
