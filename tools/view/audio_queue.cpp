// SDL audio queue behind the viewer's sound; see audio_queue.h.
#include "audio_queue.h"

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

bool AudioQueue::open_device(uint32_t sample_rate) {
    if (device_) SDL_CloseAudioDevice(device_);
    SDL_AudioSpec wanted{};
    wanted.freq = int(sample_rate);
    wanted.format = AUDIO_S16SYS;
    wanted.channels = 2;
    wanted.samples = 1024;
    // No allowed changes: SDL converts to whatever the device really takes.
    device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, nullptr, 0);
    rate_ = sample_rate;
    if (!device_) return false;
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

void AudioQueue::play(uint32_t sample_rate, const int16_t *samples, uint32_t frames) {
    if (!available_ || sample_rate == 0) return;
    if (sample_rate != rate_ && !open_device(sample_rate)) return;
    if (!device_) return;
    if (SDL_GetQueuedAudioSize(device_) > sample_rate * 4 / 5) SDL_ClearQueuedAudio(device_);
    SDL_QueueAudio(device_, samples, frames * 4);
}

}  // namespace kalmo
