// The SDL audio device behind the viewer's sound; see audio_queue.h.
#include "audio_queue.h"

#include <cstdio>

#include "host_session.h"

namespace kalmo {

AudioQueue::~AudioQueue() {
    if (device_) SDL_CloseAudioDevice(device_);
    if (available_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool AudioQueue::start(std::string &error) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        error = SDL_GetError();
        return false;
    }
    available_ = true;
    return true;
}

void SDLCALL AudioQueue::fill(void *self, Uint8 *stream, int length) {
    auto *queue = static_cast<AudioQueue *>(self);
    queue->buffer_->pull(reinterpret_cast<int16_t *>(stream), uint32_t(length) / 4, client::monotonic_ns());
}

bool AudioQueue::open_device(uint32_t sample_rate) {
    SDL_AudioSpec wanted{}, obtained{};
    wanted.freq = int(sample_rate);
    wanted.format = AUDIO_S16SYS;
    wanted.channels = 2;
    // Pulls of 10 ms: short enough to keep the reserve small, and a whole
    // number of milliseconds, which SDL's timer-paced drivers (disk, dummy)
    // need to keep the real rate.
    wanted.samples = Uint16(sample_rate / 100 ? sample_rate / 100 : 1);
    wanted.callback = fill;
    wanted.userdata = this;
    // The device may pick its own rate (the buffer converts); the sample
    // format and channels are SDL's to convert.
    device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (!device_) {
        std::fprintf(stderr, "kalmo-view: no sound: cannot open an audio device: %s\n", SDL_GetError());
        open_failed_ = true;
        return false;
    }
    device_rate_ = uint32_t(obtained.freq);
    buffer_ = std::make_unique<JitterBuffer>(device_rate_, target_ms_);
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

void AudioQueue::play(uint32_t sample_rate, const int16_t *samples, uint32_t frames, int64_t arrived_ns) {
    if (!available_ || open_failed_ || sample_rate == 0) return;
    if (!device_ && !open_device(sample_rate)) return;
    SDL_LockAudioDevice(device_);
    buffer_->push(sample_rate, samples, frames, arrived_ns);
    SDL_UnlockAudioDevice(device_);
}

JitterStatistics AudioQueue::statistics() const {
    if (!device_) return JitterStatistics{};
    SDL_LockAudioDevice(device_);
    JitterStatistics copy = buffer_->statistics();
    SDL_UnlockAudioDevice(device_);
    return copy;
}

}  // namespace kalmo
