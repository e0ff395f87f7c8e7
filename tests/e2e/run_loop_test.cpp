// The run loop's ends, end to end: QUIT read at the top of a frame or from
// inside retro_run, and the core's own shutdown request; each time the
// orderly shutdown follows and "stopped" is the last packet before exit 0.
#include <gtest/gtest.h>

#include "probe_pattern.h"
#include "scenario_run.h"

using namespace e2e;

namespace {

void expect_orderly_shutdown_after_run(const ScenarioRun &run, uint32_t last_run) {
    std::vector<std::string> runs = run.record_with("call run ");
    ASSERT_EQ(runs.size(), last_run);
    EXPECT_EQ(runs.back(), "call run frame=" + std::to_string(last_run));
    int unload = run.record_index("call unload_game");
    ASSERT_NE(unload, -1);
    EXPECT_GT(unload, run.record_index("call run frame=" + std::to_string(last_run)));
    EXPECT_EQ(run.record.back(), "call deinit");
    EXPECT_EQ(size_t(unload) + 2, run.record.size());
    ASSERT_FALSE(run.host.stream.packets.empty());
    EXPECT_EQ(kalmo::status_text(run.host.stream.packets.back()), kStopped);
}

TEST(RunLoop, QuitReadAtTheTopOfAFrameEndsTheLoopBeforeThatFramesRun) {
    ScenarioRun run = run_scenario("quit_before_run");
    ASSERT_TRUE(ended_with(run, 0));
    expect_orderly_shutdown_after_run(run, 3);
    EXPECT_EQ(run.host.stream.frames.size(), 3u);
    EXPECT_NE(run.record_index("wait_stdin frame=3 ready=1"), -1);
    std::vector<std::string> ending = {kRunning, kStopped};
    EXPECT_EQ(std::vector<std::string>(run.statuses().end() - 2, run.statuses().end()), ending);
}

TEST(RunLoop, QuitReadInsideRetroRunLetsThatRunFinishButSendsNoFrameAfterIt) {
    ScenarioRun run = run_scenario("quit_inside_run");
    ASSERT_TRUE(ended_with(run, 0));
    expect_orderly_shutdown_after_run(run, 3);
    EXPECT_EQ(run.record_with("video frame=3 ").size(), 2u);
    EXPECT_NE(run.record_index("mark after_quit"), -1);
    EXPECT_EQ(run.host.stream.frames.size(), 3u);
}

TEST(RunLoop, CoreShutdownRequestEndsTheLoopAndGatheredAudioGoesOutBeforeStopped) {
    ScenarioRun run = run_scenario("core_shutdown");
    ASSERT_TRUE(ended_with(run, 0));
    expect_orderly_shutdown_after_run(run, 5);
    EXPECT_EQ(run.record_with("video ").size(), 6u);
    EXPECT_EQ(run.host.stream.frames.size(), 5u);
    const std::vector<kalmo::Packet> &packets = run.host.stream.packets;
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(packets[packets.size() - 4].type, kalmo::kVideoPacket);
    EXPECT_EQ(kalmo::status_text(packets[packets.size() - 3]), kShutdown);
    EXPECT_EQ(packets[packets.size() - 2].type, kalmo::kAudioPacket);
    ASSERT_EQ(run.host.stream.audio.size(), 1u);
    const kalmo::AudioBlock &block = run.host.stream.audio[0];
    ASSERT_EQ(block.frames, 50u);
    for (uint32_t i = 0; i < block.frames; i++) {
        EXPECT_EQ(block.samples[2 * i], probe_audio_left(i));
        EXPECT_EQ(block.samples[2 * i + 1], probe_audio_right(i));
    }
}

}  // namespace
