// Plays the host's audio blocks through SDL's audio queue, reopening the
// device when a block carries a new sample rate. The queue is kept short:
// when more than a fifth of a second is waiting, the backlog is dropped so
// the sound stays in step with the picture.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

namespace kalmo {

class AudioQueue {
public:
    ~AudioQueue();
    // False (with a reason) when SDL has no audio; blocks are then ignored.
    bool start(std::string &error);
    void play(uint32_t sample_rate, const int16_t *samples, uint32_t frames);
    uint32_t sample_rate() const { return rate_; }

private:
    bool open_device(uint32_t sample_rate);

    bool available_ = false;
    SDL_AudioDeviceID device_ = 0;
    uint32_t rate_ = 0;
};

}  // namespace kalmo
