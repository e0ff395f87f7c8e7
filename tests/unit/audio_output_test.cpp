// Audio as the parent sees it: single frames gathered into blocks of 512,
// batches sent at once in blocks of at most 65,536 frames, gathered frames
// sent ahead of a batch so the order holds, the rate of the moment rounded
// half up in every block, and the samples passed through untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "core_services/environment.h"
#include "host/host_state.h"
#include "parent_view.h"

namespace {

class AudioOutput : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    static std::vector<kalmo::AudioBlock> blocks(void) {
        kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
        EXPECT_EQ(stream.error, "");
        EXPECT_EQ(stream.audio.size(), stream.packets.size()) << "only audio packets expected";
        return stream.audio;
    }

    // Every sample of the given blocks, in the order sent.
    static std::vector<int16_t> samples_of(const std::vector<kalmo::AudioBlock> &sent) {
        std::vector<int16_t> all;
        for (const kalmo::AudioBlock &block : sent) all.insert(all.end(), block.samples.begin(), block.samples.end());
        return all;
    }

    static std::vector<uint32_t> frame_counts(const std::vector<kalmo::AudioBlock> &sent) {
        std::vector<uint32_t> counts;
        for (const kalmo::AudioBlock &block : sent) counts.push_back(block.frames);
        return counts;
    }
};

// Stereo frames whose samples tell their position: left n, right -n - 1,
// wrapping through the whole 16-bit range.
std::vector<int16_t> numbered_frames(size_t frames, size_t first = 0) {
    std::vector<int16_t> samples(frames * 2);
    for (size_t i = 0; i < frames; i++) {
        samples[2 * i] = (int16_t)(uint16_t)(first + i);
        samples[2 * i + 1] = (int16_t)(uint16_t)(~(first + i));
    }
    return samples;
}

void gather(const std::vector<int16_t> &samples) {
    for (size_t i = 0; i < samples.size(); i += 2) audio_sample(samples[i], samples[i + 1]);
}

TEST_F(AudioOutput, FiveHundredTwelveSingleFramesMakeExactlyOneBlockDuringTheLastCall) {
    std::vector<int16_t> frames = numbered_frames(512);
    for (size_t i = 0; i < 511; i++) audio_sample(frames[2 * i], frames[2 * i + 1]);
    EXPECT_EQ(fake.writes.size(), 0u) << "nothing goes out on the first 511 calls";
    audio_sample(frames[1022], frames[1023]);
    kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
    ASSERT_EQ(stream.packets.size(), 1u);
    EXPECT_EQ(stream.packets[0].payload.size(), 2056u);
    ASSERT_EQ(stream.audio.size(), 1u);
    EXPECT_EQ(stream.audio[0].sample_rate, 48000u);
    EXPECT_EQ(stream.audio[0].frames, 512u);
    EXPECT_EQ(stream.audio[0].samples, frames);
    // Nothing is left gathered: a flush now sends nothing more.
    flush_gathered_audio();
    EXPECT_EQ(blocks().size(), 1u);
}

TEST_F(AudioOutput, EveryFiveHundredTwelfthCallSendsTheNextBlock) {
    std::vector<int16_t> frames = numbered_frames(512 * 3 + 100);
    gather(frames);
    std::vector<kalmo::AudioBlock> sent = blocks();
    EXPECT_EQ(frame_counts(sent), (std::vector<uint32_t>{512, 512, 512}));
    flush_gathered_audio();
    sent = blocks();
    EXPECT_EQ(frame_counts(sent), (std::vector<uint32_t>{512, 512, 512, 100}));
    EXPECT_EQ(samples_of(sent), frames);
}

TEST_F(AudioOutput, FramesStillGatheredGoOutWhenFlushedAndNothingGoesOutWhenNoneAre) {
    flush_gathered_audio();
    EXPECT_EQ(fake.writes.size(), 0u);
    std::vector<int16_t> frames = numbered_frames(511, 7000);
    gather(frames);
    EXPECT_EQ(fake.writes.size(), 0u);
    flush_gathered_audio();
    std::vector<kalmo::AudioBlock> sent = blocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frames, 511u);
    EXPECT_EQ(sent[0].samples, frames);
    flush_gathered_audio();
    EXPECT_EQ(blocks().size(), 1u);
}

TEST_F(AudioOutput, EveryBlockCarriesTheRateRoundedHalfUp) {
    struct rounding {
        double rate;
        uint32_t sent;
    };
    for (const rounding &r : {rounding{48000.0, 48000}, rounding{44100.5, 44101}, rounding{44100.49, 44100},
                              rounding{32040.4999, 32040}, rounding{22050.75, 22051}, rounding{1000.5, 1001},
                              rounding{32768.0, 32768}}) {
        SCOPED_TRACE("rate " + std::to_string(r.rate));
        forget_output();
        sample_rate = r.rate;
        std::vector<int16_t> one = numbered_frames(1);
        EXPECT_EQ(audio_sample_batch(one.data(), 1), 1u);
        gather(numbered_frames(512));
        std::vector<kalmo::AudioBlock> sent = blocks();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].sample_rate, r.sent) << "batch block";
        EXPECT_EQ(sent[1].sample_rate, r.sent) << "gathered block";
    }
}

TEST_F(AudioOutput, ARateReportedByTheCoreAppliesToTheNextBlockAndSmallRatesAreIgnored) {
    retro_system_av_info av = {};
    av.geometry = {256, 224, 256, 224, 4.0f / 3.0f};
    // Frames gathered before the change go out at the rate of the moment they are sent.
    gather(numbered_frames(300));
    av.timing = {60.0, 32000.5};
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    gather(numbered_frames(212));
    av.timing = {60.0, 1000.0};
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    std::vector<int16_t> one = numbered_frames(1);
    audio_sample_batch(one.data(), 1);
    av.timing = {60.0, 1000.01};
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    audio_sample_batch(one.data(), 1);
    kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
    ASSERT_EQ(stream.audio.size(), 3u);
    EXPECT_EQ(stream.audio[0].sample_rate, 32001u);
    EXPECT_EQ(stream.audio[0].frames, 512u);
    EXPECT_EQ(stream.audio[1].sample_rate, 32001u) << "1000.0 is not above 1000";
    EXPECT_EQ(stream.audio[2].sample_rate, 1000u);
}

TEST_F(AudioOutput, ABatchOf70000FramesGoesOutAsBlocksOf65536And4464) {
    std::vector<int16_t> frames = numbered_frames(70000);
    EXPECT_EQ(audio_sample_batch(frames.data(), 70000), 70000u);
    kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
    ASSERT_EQ(stream.packets.size(), 2u);
    EXPECT_EQ(stream.packets[0].payload.size(), 262152u);
    EXPECT_EQ(stream.packets[1].payload.size(), 4464u * 4 + 8);
    EXPECT_EQ(frame_counts(stream.audio), (std::vector<uint32_t>{65536, 4464}));
    EXPECT_EQ(samples_of(stream.audio), frames);
}

TEST_F(AudioOutput, ABatchOf65536FramesIsOneBlock) {
    std::vector<int16_t> frames = numbered_frames(65536);
    EXPECT_EQ(audio_sample_batch(frames.data(), 65536), 65536u);
    std::vector<kalmo::AudioBlock> sent = blocks();
    EXPECT_EQ(frame_counts(sent), std::vector<uint32_t>{65536});
    EXPECT_EQ(samples_of(sent), frames);
}

TEST_F(AudioOutput, AMillionFrameBatchIsSentWholeInBlocksOfAtMost65536) {
    std::vector<int16_t> frames = numbered_frames(1000000);
    EXPECT_EQ(audio_sample_batch(frames.data(), 1000000), 1000000u);
    std::vector<kalmo::AudioBlock> sent = blocks();
    std::vector<uint32_t> expected(15, 65536);
    expected.push_back(1000000 - 15 * 65536);
    EXPECT_EQ(frame_counts(sent), expected);
    EXPECT_EQ(samples_of(sent), frames);
}

TEST_F(AudioOutput, AnEmptyOrNullBatchSendsNothingAndReturnsItsFramesArgument) {
    std::vector<int16_t> frames = numbered_frames(4);
    EXPECT_EQ(audio_sample_batch(frames.data(), 0), 0u);
    EXPECT_EQ(audio_sample_batch(nullptr, 4), 4u);
    EXPECT_EQ(audio_sample_batch(nullptr, 123456789), 123456789u);
    EXPECT_EQ(fake.writes.size(), 0u);
}

TEST_F(AudioOutput, GatheredFramesGoOutBeforeABatchSoTheOrderHolds) {
    std::vector<int16_t> singles = numbered_frames(3, 0);
    std::vector<int16_t> batch = numbered_frames(5, 3);
    std::vector<int16_t> later = numbered_frames(2, 8);
    gather(singles);
    EXPECT_EQ(audio_sample_batch(batch.data(), 5), 5u);
    gather(later);
    flush_gathered_audio();
    std::vector<kalmo::AudioBlock> sent = blocks();
    EXPECT_EQ(frame_counts(sent), (std::vector<uint32_t>{3, 5, 2}));
    EXPECT_EQ(samples_of(sent), numbered_frames(10));
}

TEST_F(AudioOutput, AfterABatchTheNextBlockOfSinglesNeedsAFull512Again) {
    gather(numbered_frames(500));
    std::vector<int16_t> batch = numbered_frames(1, 500);
    audio_sample_batch(batch.data(), 1);
    gather(numbered_frames(511, 501));
    EXPECT_EQ(frame_counts(blocks()), (std::vector<uint32_t>{500, 1}));
    gather(numbered_frames(1, 1012));
    std::vector<kalmo::AudioBlock> sent = blocks();
    EXPECT_EQ(frame_counts(sent), (std::vector<uint32_t>{500, 1, 512}));
    EXPECT_EQ(samples_of(sent), numbered_frames(1013));
}

TEST_F(AudioOutput, EachBlockIsThreeWritesAndItsSamplesAreTheCoresBytes) {
    std::vector<int16_t> frames = {-32768, 32767, 1, -1, 0x1234, -0x1234};
    audio_sample_batch(frames.data(), 3);
    ASSERT_EQ(fake.writes.size(), 3u);
    EXPECT_EQ(fake.writes[0].requested, 9u);
    EXPECT_EQ(fake.writes[1].requested, 8u);
    EXPECT_EQ(fake.writes[2].requested, 12u);
    EXPECT_EQ(fake.protocol, std::string("KLMP\x02\x14\x00\x00\x00"
                                         "\x80\xbb\x00\x00\x03\x00\x00\x00"
                                         "\x00\x80\xff\x7f\x01\x00\xff\xff\x34\x12\xcc\xed",
                                         29));
}

TEST_F(AudioOutput, AFailedWriteStillEmptiesTheGatheredFrames) {
    gather(numbered_frames(511));
    fake.failing_writes = 3;
    audio_sample(1, 2);
    EXPECT_EQ(fake.writes.size(), 3u);
    forget_output();
    gather(numbered_frames(4));
    flush_gathered_audio();
    EXPECT_EQ(frame_counts(blocks()), std::vector<uint32_t>{4});
}

}  // namespace
