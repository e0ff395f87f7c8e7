// The host facing a parent that misbehaves, process-level on the Linux
// build with the probe core: a command input closed at start or mid-run, an
// output reader that goes away, one that reads slowly, a line of 10 MB, and
// 100,000 mouse lines in one burst.
//
// "Not spinning" is measured as the child's CPU time against its run time:
// a paced host sleeps between frames and uses a few percent of one
// processor; a host that loops on a dead pipe uses all it gets, which even
// on a busy two-processor machine is far above the bound used here.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "faulty_parent.h"
#include "robustness_support.h"
#include "stream_decoder.h"

namespace {

using robustness::ChildEnd;
using robustness::FaultyParent;
using robustness::ParentBehaviour;
using robustness::ScenarioFolder;

const double kMostCpuShareOfAPacedRun = 0.15;

// A small XRGB8888 frame in every run at `fps`; shutdown in run `last_run`
// (never when 0).
std::string paced_scenario(int fps, int last_run, int width = 64, int height = 48) {
    std::string size = std::to_string(width) + " " + std::to_string(height);
    std::string scenario = "record probe.rec\nav " + size + " 1.333 " + std::to_string(fps) +
                           " 48000\n[load_game]\npixel_format 1\n[every_frame]\nvideo 1 " + size + "\n";
    if (last_run) scenario += "[frame " + std::to_string(last_run) + "]\nshutdown\n";
    return scenario;
}

size_t video_frames(const kalmo::DecodedStream &stream) { return stream.frames.size(); }

::testing::AssertionResult ended_cleanly(const ChildEnd &end) {
    if (!end.timed_out && end.signal == 0 && end.exit_code == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "host " << robustness::describe(end);
}

::testing::AssertionResult did_not_spin(const ChildEnd &end) {
    if (end.cpu_seconds < kMostCpuShareOfAPacedRun * end.wall_seconds) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "host used " << end.cpu_seconds << " s of CPU in " << end.wall_seconds
                                         << " s";
}

TEST(FaultyParent, InputClosedAtStartLeavesTheHostRunningUntilTheCoreStopsItWithoutSpinning) {
    ScenarioFolder folder(robustness::kProbeCore, paced_scenario(20, 40));
    ParentBehaviour behaviour;
    behaviour.close_input_at_start = true;
    FaultyParent parent(robustness::kHost, folder.arguments, behaviour);
    ASSERT_TRUE(parent.started());
    ChildEnd end = parent.wait(60000);
    EXPECT_TRUE(ended_cleanly(end));
    EXPECT_TRUE(did_not_spin(end));
    kalmo::DecodedStream stream = kalmo::decode_stream(parent.output());
    EXPECT_EQ(stream.error, "");
    EXPECT_EQ(video_frames(stream), 40u);
    ASSERT_FALSE(stream.statuses.empty());
    EXPECT_EQ(stream.statuses.back(), "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}");
}

TEST(FaultyParent, InputClosedMidRunLeavesTheHostRunningUntilTheCoreStopsItWithoutSpinning) {
    ScenarioFolder folder(robustness::kProbeCore, paced_scenario(20, 40));
    FaultyParent parent(robustness::kHost, folder.arguments);
    ASSERT_TRUE(parent.started());
    ASSERT_TRUE(parent.write_input("M 3 4 0 0 0 0 0\n"));
    ASSERT_TRUE(parent.wait_for_diagnostic("INPUT_LINE count=1 dx=3 dy=4", 20000)) << parent.diagnostics();
    parent.close_input();
    ChildEnd end = parent.wait(60000);
    EXPECT_TRUE(ended_cleanly(end));
    EXPECT_TRUE(did_not_spin(end));
    kalmo::DecodedStream stream = kalmo::decode_stream(parent.output());
    EXPECT_EQ(stream.error, "");
    EXPECT_EQ(video_frames(stream), 40u);
    EXPECT_EQ(robustness::lines_with(folder.record(), "call run frame=40").size(), 1u);
}

TEST(FaultyParent, OutputReaderLeavingMidRunNeitherKillsNorStopsTheHost) {
    ScenarioFolder folder(robustness::kProbeCore, paced_scenario(100, 80));
    ParentBehaviour behaviour;
    // Some frames in, the parent stops reading and closes its end.
    behaviour.close_output_after = 100000;
    FaultyParent parent(robustness::kHost, folder.arguments, behaviour);
    ASSERT_TRUE(parent.started());
    ChildEnd end = parent.wait(60000);
    EXPECT_TRUE(ended_cleanly(end));
    EXPECT_TRUE(did_not_spin(end));
    EXPECT_EQ(parent.output().size(), 100000u);
    std::vector<std::string> record = folder.record();
    EXPECT_EQ(robustness::lines_with(record, "call run frame=80").size(), 1u);
    EXPECT_EQ(robustness::lines_with(record, "call run frame=81").size(), 0u);
    EXPECT_EQ(robustness::lines_with(record, "call deinit").size(), 1u);
}

TEST(FaultyParent, SlowReaderGetsEveryFrameIntactAndInOrder) {
    const int runs = 24;
    ScenarioFolder folder(robustness::kProbeCore, paced_scenario(1000, runs, 320, 240));
    ParentBehaviour behaviour;
    behaviour.slow_read_bytes = 4096;
    behaviour.slow_read_pause_ms = 1;
    FaultyParent parent(robustness::kHost, folder.arguments, behaviour);
    ASSERT_TRUE(parent.started());
    ChildEnd end = parent.wait(120000);
    EXPECT_TRUE(ended_cleanly(end));
    kalmo::DecodedStream stream = kalmo::decode_stream(parent.output());
    EXPECT_EQ(stream.error, "");
    ASSERT_EQ(stream.frames.size(), size_t(runs));
    for (int run = 1; run <= runs; run++) {
        const kalmo::VideoFrame &frame = stream.frames[size_t(run - 1)];
        ASSERT_EQ(frame.width, 320u);
        ASSERT_EQ(frame.height, 240u);
        size_t wrong = 0;
        for (uint32_t y = 0; y < 240; y++)
            for (uint32_t x = 0; x < 320; x++) wrong += frame.pixel(x, y) != robustness::expected_rgba(1, x, y, run);
        EXPECT_EQ(wrong, 0u) << "frame of run " << run;
    }
}

TEST(FaultyParent, QuitAfterATenMegabyteLineIsHonoured) {
    ScenarioFolder folder(robustness::kProbeCore, paced_scenario(60, 0, 8, 8));
    FaultyParent parent(robustness::kHost, folder.arguments);
    ASSERT_TRUE(parent.started());
    ASSERT_TRUE(parent.write_input(std::string(10 * 1024 * 1024, 'x')));
    ASSERT_TRUE(parent.write_input("\nM 1 2 0 0 0 0 0\nQUIT\n"));
    ChildEnd end = parent.wait(60000);
    EXPECT_TRUE(ended_cleanly(end));
    // The line after the long one was read as a line of its own.
    EXPECT_NE(parent.diagnostics().find("INPUT_LINE count=1 dx=1 dy=2 "), std::string::npos);
    kalmo::DecodedStream stream = kalmo::decode_stream(parent.output());
    ASSERT_FALSE(stream.statuses.empty());
    EXPECT_EQ(stream.statuses.back(), "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}");
}

TEST(FaultyParent, HundredThousandMouseLinesInOneBurstAddUpExactly) {
    ScenarioFolder folder(robustness::kProbeCore,
                          "record probe.rec\nav 8 8 1.0 200 48000\n[every_frame]\npoll\nquery_mouse\n");
    FaultyParent parent(robustness::kHost, folder.arguments);
    ASSERT_TRUE(parent.started());
    std::string burst;
    int64_t sent_dx = 0, sent_dy = 0;
    for (int i = 0; i < 100000; i++) {
        int dx = i % 7 - 3, dy = i % 5 - 1;
        sent_dx += dx;
        sent_dy += dy;
        burst += "M " + std::to_string(dx) + " " + std::to_string(dy) + " 0 0 0 0 0\n";
    }
    ASSERT_TRUE(parent.write_input(burst));
    // Once the last line is executed its motion is latched by the core's
    // next poll at the latest, so a QUIT sent after that loses nothing.
    ASSERT_TRUE(parent.wait_for_diagnostic("INPUT_LINE count=100000 ", 60000));
    ASSERT_TRUE(parent.write_input("QUIT\n"));
    ChildEnd end = parent.wait(60000);
    EXPECT_TRUE(ended_cleanly(end));
    int64_t seen_dx = 0, seen_dy = 0;
    for (const std::string &line : robustness::lines_with(folder.record(), "mouse ")) {
        int frame, x, y;
        ASSERT_EQ(std::sscanf(line.c_str(), "mouse frame=%d x=%d y=%d", &frame, &x, &y), 3) << line;
        seen_dx += x;
        seen_dy += y;
    }
    EXPECT_EQ(seen_dx, sent_dx);
    EXPECT_EQ(seen_dy, sent_dy);
}

}  // namespace
