// Audio end to end: single frames gathered into blocks of 512 and flushed at
// shutdown, batches sent at once and split at 65536 frames, mixed calls kept
// in order, and the sample rate of each block. The samples that come out,
// block after block, must be exactly the probe's sequence.
#include <gtest/gtest.h>

#include "probe_pattern.h"
#include "scenario_run.h"

using namespace e2e;

namespace {

std::vector<uint32_t> block_sizes(const ScenarioRun &run) {
    std::vector<uint32_t> sizes;
    for (const kalmo::AudioBlock &block : run.host.stream.audio) sizes.push_back(block.frames);
    return sizes;
}

std::vector<uint32_t> block_rates(const ScenarioRun &run) {
    std::vector<uint32_t> rates;
    for (const kalmo::AudioBlock &block : run.host.stream.audio) rates.push_back(block.sample_rate);
    return rates;
}

// Every frame of every block, in order, is the probe's next frame.
::testing::AssertionResult audio_is_the_probe_sequence(const ScenarioRun &run, uint32_t total) {
    uint32_t index = 0;
    for (const kalmo::AudioBlock &block : run.host.stream.audio)
        for (uint32_t f = 0; f < block.frames; f++, index++)
            if (block.samples[2 * f] != probe_audio_left(index) || block.samples[2 * f + 1] != probe_audio_right(index))
                return ::testing::AssertionFailure()
                       << "frame " << index << " is (" << block.samples[2 * f] << ", " << block.samples[2 * f + 1]
                       << "), expected (" << probe_audio_left(index) << ", " << probe_audio_right(index) << ")";
    if (index != total) return ::testing::AssertionFailure() << index << " frames came out, expected " << total;
    return ::testing::AssertionSuccess();
}

TEST(Audio, SingleFramesGoOutInBlocksOf512AndTheRestAtShutdown) {
    ScenarioRun run = run_scenario("audio_single_frames");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(block_sizes(run), (std::vector<uint32_t>{512, 300}));
    EXPECT_EQ(block_rates(run), (std::vector<uint32_t>{44100, 44100}));
    EXPECT_TRUE(audio_is_the_probe_sequence(run, 812));
    // The rest goes out after the loop ends: between "shutdown" and "stopped".
    const std::vector<kalmo::Packet> &packets = run.host.stream.packets;
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(kalmo::status_text(packets[packets.size() - 3]), kShutdown);
    EXPECT_EQ(packets[packets.size() - 2].type, kalmo::kAudioPacket);
    EXPECT_EQ(kalmo::status_text(packets.back()), kStopped);
}

TEST(Audio, BatchesGoOutAtOnceAndOneLargerThan65536FramesIsSplitNotCut) {
    ScenarioRun run = run_scenario("audio_batches");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(block_sizes(run), (std::vector<uint32_t>{100, 65536, 65536, 4464, 10}));
    EXPECT_TRUE(audio_is_the_probe_sequence(run, 100 + 65536 + 70000 + 10));
    EXPECT_NE(run.record_index("batch first=65636 frames=70000 ret=70000"), -1);
    for (const kalmo::Packet &packet : run.host.stream.packets)
        if (packet.type == kalmo::kAudioPacket) EXPECT_LE(packet.payload.size(), 262152u);
}

TEST(Audio, EachBlockCarriesTheSampleRateCurrentWhenItIsSentRoundedHalfUp) {
    ScenarioRun run = run_scenario("audio_batches");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(block_rates(run), (std::vector<uint32_t>{44100, 44100, 44100, 44100, 22051}));
    EXPECT_NE(index_of(run.statuses(), R"({"state":"av","width":0,"height":0})"), -1);
}

TEST(Audio, MixedSingleFramesAndBatchesStayInTheOrderTheCoreSentThem) {
    ScenarioRun run = run_scenario("audio_mixed");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(block_sizes(run), (std::vector<uint32_t>{100, 50, 512, 88, 10, 7}));
    EXPECT_EQ(block_rates(run), (std::vector<uint32_t>(6, 48000)));
    EXPECT_TRUE(audio_is_the_probe_sequence(run, 767));
}

}  // namespace
