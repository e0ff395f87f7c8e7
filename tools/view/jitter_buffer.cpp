// The reserve, its start rule and its drift correction; see jitter_buffer.h.
#include "jitter_buffer.h"

#include <algorithm>
#include <cmath>

namespace kalmo {

namespace {

// The rate change moves by at most this much either way: about 17 cents of
// pitch, and only slowly, so nobody hears it.
constexpr double max_correction = 0.01;
// Change per unit of relative fill error: a reserve a quarter off its target
// already plays at the full correction.
constexpr double correction_gain = 0.04;
// The fill level saw-tooths with every block and every device pull; the
// correction follows its average over about this long.
constexpr double fill_smoothing_seconds = 0.5;
// Old sound beyond this many targets is a backlog (the host caught up after a
// stall): it is cut back to the target at once rather than played seconds late.
constexpr double ceiling_in_targets = 5;

int16_t to_sample(double value) { return int16_t(std::lround(std::clamp(value, -32768.0, 32767.0))); }

}  // namespace

JitterBuffer::JitterBuffer(uint32_t device_rate, double target_ms)
    : device_rate_(device_rate ? device_rate : 48000),
      target_frames_(std::max(1.0, target_ms * device_rate_ / 1000)),
      ceiling_frames_(target_frames_ * ceiling_in_targets) {
    queue_.reserve(size_t(ceiling_frames_) * 4);
}

double JitterBuffer::queued_frames() const { return double(queue_.size() / 2 - head_) - position_; }

void JitterBuffer::drop_played_frames() {
    queue_.erase(queue_.begin(), queue_.begin() + ptrdiff_t(2 * head_));
    head_ = 0;
}

void JitterBuffer::push(uint32_t sample_rate, const int16_t *samples, uint32_t frames, int64_t now_ns) {
    if (sample_rate == 0 || frames == 0 || !samples) return;
    drop_played_frames();
    if (!playing_ && first_block_ns_ < 0) first_block_ns_ = now_ns;
    double before = queued_frames();
    append_converted(sample_rate, samples, frames);
    if (before <= ceiling_frames_) return;
    size_t excess = size_t(before - target_frames_);
    head_ += excess;
    statistics_.dropped_frames += excess;
}

// Linear interpolation across block boundaries: position -1 is the last
// frame of the previous block at this rate.
void JitterBuffer::append_converted(uint32_t sample_rate, const int16_t *samples, uint32_t frames) {
    if (sample_rate == device_rate_) {
        queue_.insert(queue_.end(), samples, samples + 2 * size_t(frames));
        source_rate_ = 0;
        return;
    }
    if (sample_rate != source_rate_) {
        source_rate_ = sample_rate;
        source_position_ = 0;
        source_last_[0] = samples[0];
        source_last_[1] = samples[1];
    }
    auto sample = [&](int64_t frame, int channel) -> double {
        return frame < 0 ? source_last_[channel] : samples[2 * frame + channel];
    };
    const double step = double(sample_rate) / device_rate_;
    double position = source_position_;
    while (position <= double(frames) - 1) {
        int64_t frame = int64_t(std::floor(position));
        double fraction = position - double(frame);
        for (int channel = 0; channel < 2; channel++) {
            double value = sample(frame, channel) * (1 - fraction);
            if (fraction > 0) value += sample(frame + 1, channel) * fraction;
            queue_.push_back(to_sample(value));
        }
        position += step;
    }
    source_position_ = position - frames;
    source_last_[0] = samples[2 * (frames - 1)];
    source_last_[1] = samples[2 * (frames - 1) + 1];
}

void JitterBuffer::pull(int16_t *out, uint32_t frames, int64_t now_ns) {
    if (!playing_) {
        double queued = queued_frames();
        bool reserve_full = queued >= target_frames_;
        // A sound shorter than the reserve (a lone effect) must not wait for
        // the next one: once the target's time has passed, it plays as it is.
        bool waited_long = queued > 0 && first_block_ns_ >= 0 &&
                           double(now_ns - first_block_ns_) >= target_frames_ * 1e9 / device_rate_;
        if (!reserve_full && !waited_long) {
            std::fill(out, out + 2 * size_t(frames), int16_t(0));
            return;
        }
        start_playing(frames, now_ns);
    }
    play(out, frames);
    if (playing_) update_correction(frames);
}

void JitterBuffer::start_playing(uint32_t frames, int64_t now_ns) {
    playing_ = true;
    statistics_.resumes++;
    double waited_ms = first_block_ns_ >= 0 ? double(now_ns - first_block_ns_) / 1e6 : 0;
    double heard_ms = waited_ms + frames * 1000.0 / device_rate_;
    statistics_.last_resume_ms = heard_ms;
    statistics_.max_resume_ms = std::max(statistics_.max_resume_ms, heard_ms);
    statistics_.total_resume_ms += heard_ms;
    first_block_ns_ = -1;
    smoothed_fill_ = queued_frames();
}

void JitterBuffer::play(int16_t *out, uint32_t frames) {
    const size_t total = queue_.size() / 2;
    const double step = 1 + statistics_.correction;
    for (uint32_t i = 0; i < frames; i++) {
        if (head_ >= total) {
            // Ran dry: the rest is silence, and the reserve is built anew.
            std::fill(out + 2 * size_t(i), out + 2 * size_t(frames), int16_t(0));
            statistics_.underruns++;
            playing_ = false;
            head_ = total;
            position_ = 0;
            return;
        }
        size_t next = std::min(head_ + 1, total - 1);
        for (int channel = 0; channel < 2; channel++)
            out[2 * i + channel] = to_sample(queue_[2 * head_ + channel] * (1 - position_) +
                                             queue_[2 * next + channel] * position_);
        position_ += step;
        double whole = std::floor(position_);
        head_ += size_t(whole);
        position_ -= whole;
    }
}

void JitterBuffer::update_correction(uint32_t frames_pulled) {
    double weight = std::min(1.0, frames_pulled / (device_rate_ * fill_smoothing_seconds));
    smoothed_fill_ += (queued_frames() - smoothed_fill_) * weight;
    double error = (smoothed_fill_ - target_frames_) / target_frames_;
    statistics_.correction = std::clamp(correction_gain * error, -max_correction, max_correction);
    statistics_.average_fill_ms = smoothed_fill_ * 1000 / device_rate_;
}

}  // namespace kalmo
