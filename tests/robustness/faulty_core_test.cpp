// The host facing a core that misbehaves, process-level on the Linux build:
// the largest frame and one pixel past it, null and hardware-marker frames,
// a log line of 1 MB and one made of line breaks, a million environment
// calls, an audio batch of a million frames, and callbacks that keep coming
// after the core asked to stop. The probe core scripts all but two; the
// fault core (fault_core.cpp) commits those.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host_run.h"
#include "probe_pattern.h"
#include "robustness_support.h"

namespace {

using robustness::ScenarioFolder;

const char kStopped[] = "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}";
const char kShutdown[] = "{\"state\":\"shutdown\",\"message\":\"ScummVM demande la fermeture\"}";

kalmo_test::HostRun run(const ScenarioFolder &folder, int timeout_ms = 60000) {
    kalmo_test::RunOptions options;
    options.program = robustness::kHost;
    options.arguments = folder.arguments;
    options.timeout_ms = timeout_ms;
    return kalmo_test::run_host(options);
}

::testing::AssertionResult ended_cleanly(const kalmo_test::HostRun &run) {
    if (run.process.exit_code != 0 || run.process.signal != 0 || run.process.timed_out)
        return ::testing::AssertionFailure() << "host " << kalmo_test::describe_end(run.process);
    if (!run.stream.error.empty()) return ::testing::AssertionFailure() << run.stream.error;
    if (run.stream.statuses.empty() || run.stream.statuses.back() != kStopped)
        return ::testing::AssertionFailure() << "the last status message is not \"stopped\"";
    return ::testing::AssertionSuccess();
}

TEST(FaultyCore, LargestFrameIsSentWholeAndOnePixelMoreInEitherDirectionIsDropped) {
    ScenarioFolder folder(robustness::kProbeCore,
                          "record probe.rec\n[frame 1]\npixel_format 2\nvideo 2 8192 8192\nvideo 2 8193 1\n"
                          "video 2 1 8193\nvideo 2 8193 8193\nvideo 2 3 2\nshutdown\n");
    kalmo_test::HostRun host = run(folder, 120000);
    ASSERT_TRUE(ended_cleanly(host));
    ASSERT_EQ(host.stream.frames.size(), 2u);
    const kalmo::VideoFrame &largest = host.stream.frames[0];
    EXPECT_EQ(largest.width, 8192u);
    EXPECT_EQ(largest.height, 8192u);
    ASSERT_EQ(largest.rgba.size(), size_t(8192) * 8192 * 4);
    size_t wrong = 0;
    for (uint32_t y = 0; y < 8192; y += 97)
        for (uint32_t x = 0; x < 8192; x++) wrong += largest.pixel(x, y) != robustness::expected_rgba(2, x, y, 1);
    for (uint32_t x : {0u, 8191u})
        for (uint32_t y = 0; y < 8192; y++) wrong += largest.pixel(x, y) != robustness::expected_rgba(2, x, y, 1);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(host.stream.frames[1].width, 3u);
    EXPECT_EQ(host.stream.frames[1].height, 2u);
}

TEST(FaultyCore, NullAndHardwareMarkerFramesSendNothingAndTheNextFrameStillGoesOut) {
    ScenarioFolder folder(robustness::kFaultCore, "null_and_marker_frames\n");
    kalmo_test::HostRun host = run(folder);
    ASSERT_TRUE(ended_cleanly(host));
    ASSERT_EQ(host.stream.frames.size(), 2u);
    EXPECT_EQ(host.stream.frames[0].width, 16u);
    EXPECT_EQ(host.stream.frames[0].height, 16u);
    EXPECT_EQ(host.stream.frames[1].width, 2u);
    EXPECT_EQ(host.stream.frames[1].pixel(0, 0), 0xffffffffu);
    EXPECT_EQ(host.stream.frames[1].pixel(1, 1), 0xff0000ffu);
}

TEST(FaultyCore, MegabyteLogLineAndLineBreakFloodReachTheDiagnosticStreamUnchanged) {
    std::string breaks_escaped, breaks;
    for (int i = 0; i < 2000; i++) {
        breaks_escaped += "\\r\\n\\r\\r\\n\\n";
        breaks += "\r\n\r\r\n\n";
    }
    ScenarioFolder folder(robustness::kProbeCore, "record probe.rec\n[frame 1]\nlog_interface\n"
                                                  "log 1 @repeat 1048576 x\nlog 3 " +
                                                      breaks_escaped + "\nlog 2 done\nshutdown\n");
    kalmo_test::HostRun host = run(folder);
    ASSERT_TRUE(ended_cleanly(host));
    const std::string &err = host.process.err;
    std::string big = "CORELOG level=1 | " + std::string(1048576, 'x') + "\r\n";
    // The flood ends with its own line feed, so nothing is added after it.
    std::string flood = "CORELOG level=3 | " + breaks + "CORELOG level=2 | done\r\n";
    EXPECT_NE(err.find(big + flood), std::string::npos);
    size_t prefixes = 0;
    for (size_t at = 0; (at = err.find("CORELOG level=", at)) != std::string::npos; at++) prefixes++;
    EXPECT_EQ(prefixes, 3u);
}

TEST(FaultyCore, MillionEnvironmentCallsKeepTheTraceAtTheFilteredCount) {
    ScenarioFolder folder(robustness::kFaultCore, "million_environment_calls\n");
    kalmo_test::HostRun host = run(folder);
    ASSERT_TRUE(ended_cleanly(host));
    std::vector<std::string> expected;
    for (uint32_t count = 1; count <= 1000000; count++)
        if (count <= 6 || count == 50 || count % 1000 == 0)
            expected.push_back("ENV raw=3 cmd=3 count=" + std::to_string(count) + " GET_CAN_DUPE");
    EXPECT_EQ(robustness::lines_with(host.diagnostics, "ENV raw=3 "), expected);
    EXPECT_EQ(expected.size(), 1007u);
    EXPECT_EQ(robustness::lines_with(host.diagnostics, "ENV ").size(), 1008u);
}

TEST(FaultyCore, MillionFrameAudioBatchIsSentWholeInBlocksOfAtMost65536Frames) {
    ScenarioFolder folder(robustness::kProbeCore, "record probe.rec\n[frame 1]\nbatch 1000000\nshutdown\n");
    kalmo_test::HostRun host = run(folder);
    ASSERT_TRUE(ended_cleanly(host));
    ASSERT_EQ(host.stream.audio.size(), 16u);
    uint32_t index = 0;
    size_t wrong = 0;
    for (size_t block = 0; block < host.stream.audio.size(); block++) {
        const kalmo::AudioBlock &audio = host.stream.audio[block];
        EXPECT_EQ(audio.frames, block < 15 ? 65536u : 1000000u - 15 * 65536u);
        EXPECT_EQ(audio.sample_rate, 48000u);
        for (uint32_t i = 0; i < audio.frames; i++, index++)
            wrong += audio.samples[2 * i] != probe_audio_left(index) ||
                     audio.samples[2 * i + 1] != probe_audio_right(index);
    }
    EXPECT_EQ(index, 1000000u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(robustness::lines_with(folder.record(), "batch first=0 frames=1000000 ret=1000000").size(), 1u);
}

TEST(FaultyCore, CallbacksAfterTheShutdownRequestSendNoFrameAndNoLaterRun) {
    ScenarioFolder folder(robustness::kProbeCore,
                          "record probe.rec\n[every_frame]\nvideo 1 8 8\n[frame 2]\nshutdown\nvideo 1 8 8\n"
                          "batch 64\naudio 600\nlog_interface\nlog 1 after\npoll\nquery_mouse\nenv_bool 3\n"
                          "shutdown\nvideo 1 4 4\n[frame 3]\nmark third run\n");
    kalmo_test::HostRun host = run(folder);
    ASSERT_TRUE(ended_cleanly(host));
    EXPECT_EQ(host.stream.frames.size(), 2u);
    // No video packet follows the first shutdown message.
    bool shut_down = false;
    for (const kalmo::Packet &packet : host.stream.packets) {
        if (packet.type == kalmo::kStatusPacket && kalmo::status_text(packet) == kShutdown) shut_down = true;
        EXPECT_FALSE(shut_down && packet.type == kalmo::kVideoPacket);
    }
    EXPECT_TRUE(shut_down);
    uint32_t audio_frames = 0;
    for (const kalmo::AudioBlock &audio : host.stream.audio) audio_frames += audio.frames;
    EXPECT_EQ(audio_frames, 664u);
    std::vector<std::string> record = folder.record();
    EXPECT_TRUE(robustness::lines_with(record, "call run frame=3").empty());
    EXPECT_TRUE(robustness::lines_with(record, "mark third run").empty());
    EXPECT_EQ(robustness::lines_with(record, "call deinit").size(), 1u);
}

}  // namespace
