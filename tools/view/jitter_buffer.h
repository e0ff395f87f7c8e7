// The viewer's reserve of sound between the host's audio blocks and the
// audio device. Blocks arrive in runs with the host's pacing jitter, and a
// core may send nothing at all while its game is silent; the device pulls at
// its own steady rate. So playback starts (and resumes after the queue ran
// dry) only once a target reserve is queued, and the fill level is then held
// near that target by playing a little faster or slower (a resampling ratio
// moved smoothly within about a percent), never by throwing sound away.
// Pure arithmetic on frames and on times passed in by the caller, so the
// tests drive it on a fake clock; not thread-safe (the caller locks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kalmo {

struct JitterStatistics {
    uint64_t underruns = 0;       // times the queue ran dry while playing
    uint64_t resumes = 0;         // starts of playback, the first one included
    uint64_t dropped_frames = 0;  // thrown away because the queue passed its ceiling
    // Waits from the first block after silence until its first frame went
    // to the device, plus one device buffer: how late that sound is heard.
    double last_resume_ms = 0, max_resume_ms = 0, total_resume_ms = 0;
    double average_fill_ms = 0;  // smoothed reserve while playing
    double correction = 0;       // current rate change, e.g. 0.004 plays 0.4 % faster
};

class JitterBuffer {
public:
    // `device_rate` is what pull() delivers; `target_ms` the reserve to keep.
    explicit JitterBuffer(uint32_t device_rate, double target_ms = 50);

    // A block of interleaved stereo frames at its own rate (converted to the
    // device's when it differs), arrived at `now_ns`.
    void push(uint32_t sample_rate, const int16_t *samples, uint32_t frames, int64_t now_ns);
    // Fills `frames` stereo frames for the device, called at `now_ns`:
    // silence while building the reserve, the queued sound otherwise.
    void pull(int16_t *out, uint32_t frames, int64_t now_ns);

    bool playing() const { return playing_; }
    // Frames queued and not yet played, in device frames.
    double queued_frames() const;
    const JitterStatistics &statistics() const { return statistics_; }
    double target_frames() const { return target_frames_; }

private:
    void append_converted(uint32_t sample_rate, const int16_t *samples, uint32_t frames);
    void start_playing(uint32_t frames, int64_t now_ns);
    void play(int16_t *out, uint32_t frames);
    void update_correction(uint32_t frames_pulled);
    void drop_played_frames();

    uint32_t device_rate_;
    double target_frames_, ceiling_frames_;
    // Queued frames live in queue_[2 * head_ ...]; played ones are erased in
    // push(), so pull() (the device's thread) never moves memory.
    std::vector<int16_t> queue_;
    size_t head_ = 0;
    double position_ = 0;  // fraction between frame head_ and the next one
    bool playing_ = false;
    // Building the reserve: when the first block came, and device frames
    // waited since, so a short sound that never reaches the target still plays.
    int64_t first_block_ns_ = -1;
    double waited_frames_ = 0;
    double smoothed_fill_ = 0;
    // Rate conversion of blocks whose rate differs from the device's.
    uint32_t source_rate_ = 0;
    double source_position_ = 0;
    int16_t source_last_[2] = {0, 0};
    JitterStatistics statistics_;
};

}  // namespace kalmo
