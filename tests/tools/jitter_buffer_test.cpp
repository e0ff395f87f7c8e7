// The viewer's jitter buffer on a fake clock: when playback starts, that a
// steady stream with the host's pacing jitter never runs dry while the
// device's clock drifts, that a core's silent rests cost exactly one underrun
// each, that blocks at another rate are converted without seams, and that a
// backlog is cut back to the target.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "jitter_buffer.h"

namespace {

constexpr uint32_t kRate = 48000;
constexpr int64_t kMillisecond = 1000000;

// A block whose left and right samples count up from `first`, so order and
// continuity can be read back from what the device receives.
std::vector<int16_t> counting_block(uint32_t frames, int first) {
    std::vector<int16_t> samples(2 * size_t(frames));
    for (uint32_t i = 0; i < frames; i++) samples[2 * i] = samples[2 * i + 1] = int16_t(first + int(i));
    return samples;
}

// The host's side (800-frame blocks every 1/60 s, each up to 4 ms late,
// none at all during rests) against the device's (480 frames every 10 ms,
// its clock `drift` off), simulated for `seconds`. Block arrival is up to
// 4 ms late, from a fixed scramble of its number.
struct Simulation {
    double drift = 0;
    double rest_every_seconds = 0, rest_seconds = 0;  // a core's silent rests
    uint64_t silent_pulls_while_sound_due = 0;
    uint64_t rests = 0;
    std::vector<double> fill_ms;  // after each pull

    void run(kalmo::JitterBuffer &buffer, double seconds) {
        std::vector<int16_t> out(2 * 480);
        std::vector<int16_t> tone = counting_block(800, 1);
        uint64_t block = 0, pull = 0;
        bool resting = false;
        for (;;) {
            double block_due = block / 60.0;
            double block_arrives = block_due + double((block * 2654435761u) >> 7 & 4095) / 1024 / 1000;
            double pull_due = double(pull) * 0.010 * (1 + drift);
            if (block_due > seconds && pull_due > seconds) return;
            if (block_arrives <= pull_due) {
                double cycle = rest_every_seconds + rest_seconds;
                bool rest = rest_every_seconds > 0 && std::fmod(block_due, cycle) >= rest_every_seconds;
                if (rest && !resting) rests++;
                resting = rest;
                if (!rest) buffer.push(kRate, tone.data(), 800, int64_t(block_arrives * 1e9));
                block++;
                continue;
            }
            buffer.pull(out.data(), 480, int64_t(pull_due * 1e9));
            bool silent = out[0] == 0 && out[2 * 479] == 0;
            // Sound is due once a run has had time to fill the reserve.
            bool sound_due = pull_due > 0.2 && !resting &&
                             (rest_every_seconds == 0 || std::fmod(pull_due, rest_every_seconds + rest_seconds) > 0.1);
            if (silent && sound_due) silent_pulls_while_sound_due++;
            fill_ms.push_back(buffer.queued_frames() * 1000 / kRate);
            pull++;
        }
    }
    double average_fill_ms(size_t from) const {
        double sum = 0;
        for (size_t i = from; i < fill_ms.size(); i++) sum += fill_ms[i];
        return sum / double(fill_ms.size() - from);
    }
};

TEST(JitterBuffer, PlaybackStartsOnlyOnceTheTargetIsQueuedAndThenPlaysTheBlocksUnchanged) {
    kalmo::JitterBuffer buffer(kRate, 50);
    std::vector<int16_t> out(2 * 480);
    for (int block = 0; block < 2; block++) {
        std::vector<int16_t> samples = counting_block(800, 1 + 800 * block);
        buffer.push(kRate, samples.data(), 800, block * 16 * kMillisecond);
        buffer.pull(out.data(), 480, (block * 16 + 1) * kMillisecond);
        EXPECT_FALSE(buffer.playing());
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[959], 0);
    }
    std::vector<int16_t> third = counting_block(800, 1601);
    buffer.push(kRate, third.data(), 800, 33 * kMillisecond);
    buffer.pull(out.data(), 480, 34 * kMillisecond);
    ASSERT_TRUE(buffer.playing());
    for (int i = 0; i < 480; i++) ASSERT_EQ(out[2 * i], 1 + i) << "frame " << i;
    const kalmo::JitterStatistics &statistics = buffer.statistics();
    EXPECT_EQ(statistics.resumes, 1u);
    // 34 ms from the first block to the device, plus the 10 ms pull itself.
    EXPECT_NEAR(statistics.last_resume_ms, 44, 0.01);
}

TEST(JitterBuffer, ASoundShorterThanTheReserveStillPlaysOnceTheTargetTimeHasPassed) {
    kalmo::JitterBuffer buffer(kRate, 50);
    std::vector<int16_t> blip = counting_block(300, 1);
    std::vector<int16_t> out(2 * 480);
    buffer.push(kRate, blip.data(), 300, 0);
    buffer.pull(out.data(), 480, 40 * kMillisecond);
    EXPECT_EQ(out[0], 0) << "still building the reserve";
    buffer.pull(out.data(), 480, 50 * kMillisecond);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2 * 299], 300);
    EXPECT_EQ(out[2 * 300], 0);
    EXPECT_EQ(buffer.statistics().underruns, 1u);
}

TEST(JitterBuffer, AJitteryStreamNeverRunsDryAndTheFillSettlesNearTheTargetWhateverTheDrift) {
    for (double drift : {-0.006, 0.0, 0.006}) {
        kalmo::JitterBuffer buffer(kRate, 50);
        Simulation simulation;
        simulation.drift = drift;
        simulation.run(buffer, 60);
        EXPECT_EQ(buffer.statistics().underruns, 0u) << "drift " << drift;
        EXPECT_EQ(simulation.silent_pulls_while_sound_due, 0u) << "drift " << drift;
        EXPECT_NEAR(simulation.average_fill_ms(simulation.fill_ms.size() / 2), 50, 10) << "drift " << drift;
        // A slow device (positive drift) must be fed faster, and the reverse.
        EXPECT_NEAR(buffer.statistics().correction, drift, 0.003) << "drift " << drift;
        EXPECT_LE(std::fabs(buffer.statistics().correction), 0.01);
        EXPECT_EQ(buffer.statistics().dropped_frames, 0u);
    }
}

TEST(JitterBuffer, EachSilentRestOfTheCoreCostsOneUnderrunAndPlaybackResumesWithinTheTarget) {
    kalmo::JitterBuffer buffer(kRate, 50);
    Simulation simulation;
    simulation.rest_every_seconds = 2;
    simulation.rest_seconds = 0.5;
    simulation.run(buffer, 11.5);
    const kalmo::JitterStatistics &statistics = buffer.statistics();
    EXPECT_EQ(simulation.rests, 4u);
    EXPECT_EQ(statistics.underruns, simulation.rests);
    EXPECT_EQ(statistics.resumes, simulation.rests + 1);
    EXPECT_EQ(simulation.silent_pulls_while_sound_due, 0u);
    // Three blocks make the reserve; one pull period may pass before it is
    // seen, and one more before the device plays it.
    EXPECT_LE(statistics.max_resume_ms, 50 + 4 + 10 + 10);
    EXPECT_GE(statistics.total_resume_ms / double(statistics.resumes), 33);
}

TEST(JitterBuffer, BlocksAtAnotherRateAreConvertedWithoutASeamBetweenThem) {
    kalmo::JitterBuffer buffer(kRate, 10);
    // A 24000 Hz ramp of 2 per frame, in three blocks: 1 per frame at 48000.
    for (int block = 0; block < 3; block++) {
        std::vector<int16_t> samples(2 * 200);
        for (int i = 0; i < 200; i++) samples[2 * i] = samples[2 * i + 1] = int16_t(2 * (200 * block + i));
        buffer.push(24000, samples.data(), 200, 0);
    }
    EXPECT_NEAR(buffer.queued_frames(), 1199, 1);
    std::vector<int16_t> out(2 * 1199);
    buffer.pull(out.data(), 1199, 20 * kMillisecond);
    for (int i = 0; i < 1199; i++) ASSERT_EQ(out[2 * i], i) << "frame " << i;
}

TEST(JitterBuffer, ABacklogPastTheCeilingIsCutBackToTheTargetAndCounted) {
    kalmo::JitterBuffer buffer(kRate, 50);
    std::vector<int16_t> out(2 * 480);
    uint64_t pushed = 0;
    // The host catching up after a stall: 20 blocks at once, 333 ms of sound.
    for (int block = 0; block < 20; block++) {
        std::vector<int16_t> samples = counting_block(800, 1 + 800 * block);
        buffer.push(kRate, samples.data(), 800, 0);
        pushed += 800;
    }
    EXPECT_GT(buffer.statistics().dropped_frames, 0u);
    EXPECT_LE(buffer.queued_frames(), 5 * 2400 + 800) << "at most the ceiling and one block";
    EXPECT_EQ(pushed - buffer.statistics().dropped_frames, uint64_t(buffer.queued_frames()));
    buffer.pull(out.data(), 480, 0);
    EXPECT_EQ(out[0], int16_t(1 + buffer.statistics().dropped_frames)) << "the oldest sound went";
}

}  // namespace
