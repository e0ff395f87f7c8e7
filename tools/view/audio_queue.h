// Plays the host's audio blocks through an SDL audio device whose callback
// pulls from the viewer's jitter buffer (jitter_buffer.h), so the viewer, not
// SDL, decides how much sound is held in reserve. The device is opened at the
// first block's rate and stays open; blocks at another rate are converted.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <memory>
#include <string>

#include "jitter_buffer.h"

namespace kalmo {

class AudioQueue {
public:
    ~AudioQueue();
    // False (with a reason) when SDL has no audio; blocks are then ignored.
    bool start(std::string &error);
    // Queues a block that arrived at `arrived_ns` (kalmo-client's clock).
    void play(uint32_t sample_rate, const int16_t *samples, uint32_t frames, int64_t arrived_ns);
    // The reserve's figures so far (zeros before the first block).
    JitterStatistics statistics() const;
    double target_ms() const { return target_ms_; }
    uint32_t device_rate() const { return device_rate_; }

private:
    static void SDLCALL fill(void *self, Uint8 *stream, int length);
    bool open_device(uint32_t sample_rate);

    bool available_ = false, open_failed_ = false;
    SDL_AudioDeviceID device_ = 0;
    uint32_t device_rate_ = 0;
    double target_ms_ = 50;
    std::unique_ptr<JitterBuffer> buffer_;
};

}  // namespace kalmo
