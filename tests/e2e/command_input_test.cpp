// The command input end to end: mouse lines reaching the core in the frame
// that polls after them, key lines reaching the keyboard callback, RESET,
// polls from inside retro_reset and the keyboard callback (no line run
// twice, none lost), and a line longer than the reader's buffer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "scenario_run.h"

using namespace e2e;

namespace {

TEST(CommandInput, MouseLinesReachTheCoreInTheFrameThatPollsAfterThem) {
    ScenarioRun run = run_scenario("mouse_in_frame");
    ASSERT_TRUE(ended_with(run, 0));
    std::vector<std::string> mouse = run.record_with("mouse ");
    std::vector<std::string> expected = {
        "mouse frame=1 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=2 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=3 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=4 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        // 5 + 40000 read as a signed 16-bit value; wheel 2 means up.
        "mouse frame=4 x=-25531 y=-3 left=1 right=0 wheelup=1 wheeldown=0 middle=0",
        "mouse frame=5 x=0 y=0 left=1 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=6 x=0 y=0 left=1 right=0 wheelup=0 wheeldown=0 middle=0",
    };
    EXPECT_EQ(mouse, expected);
    std::vector<std::string> pointer = {"pointer frame=4 x=11 y=21 pressed=1 count=1 offscreen=0",
                                        "pointer frame=5 x=11 y=21 pressed=1 count=1 offscreen=0"};
    EXPECT_EQ(run.record_with("pointer "), pointer);
    for (const char *line : {"INPUT_LINE count=1 dx=5 dy=-3 buttons=1 wheel=0 px=10 py=20 inside=1",
                             "INPUT_LINE count=2 dx=40000 dy=0 buttons=1 wheel=2 px=11 py=21 inside=1",
                             "INPUT_MODE physical-retromouse-active",
                             "INPUT_MODE pointer-query-available-but-not-selected", "INPUT_QUERY device=2 id=6",
                             "INPUT_QUERY device=6 id=15"})
        EXPECT_NE(index_of(run.diagnostics(), line), -1) << line;
}

TEST(CommandInput, KeyLinesReachTheKeyboardCallbackAndTheKeyTable) {
    ScenarioRun run = run_scenario("keyboard_lines");
    ASSERT_TRUE(ended_with(run, 0));
    std::vector<std::string> keys = {
        "keyboard frame=3 in_run=1 down=1 keycode=97 character=97 modifiers=0",
        "keyboard frame=3 in_run=1 down=1 keycode=70000 character=5 modifiers=3",
        "keyboard frame=3 in_run=1 down=0 keycode=98 character=66 modifiers=1",
    };
    EXPECT_EQ(run.record_with("keyboard "), keys);
    EXPECT_NE(run.record_index("keyboard_callback ret=1"), -1);
    EXPECT_NE(run.record_index("input frame=3 port=0 device=3 index=0 id=97 value=1"), -1);
    EXPECT_NE(run.record_index("input frame=3 port=0 device=3 index=0 id=98 value=0"), -1);
    for (const std::string &line : run.diagnostics()) {
        EXPECT_NE(line.rfind("INPUT_QUERY device=3", 0), 0u) << "key codes from 64 up are not traced";
        EXPECT_NE(line.rfind("INPUT_LINE", 0), 0u) << "key lines are not traced";
    }
}

TEST(CommandInput, ResetCallsRetroResetInsideRetroRunAndBetweenFrames) {
    ScenarioRun run = run_scenario("reset_command");
    ASSERT_TRUE(ended_with(run, 0));
    ASSERT_EQ(run.record_with("call reset ").size(), 2u);
    int inside = run.record_index("call reset frame=3 in_run=1");
    ASSERT_NE(inside, -1);
    EXPECT_EQ(run.record[size_t(inside) - 1], "poll frame=3");
    EXPECT_EQ(run.record[size_t(inside) + 1], "mark after_poll");
    int between = run.record_index("call reset frame=4 in_run=0");
    ASSERT_NE(between, -1);
    EXPECT_GT(between, run.record_index("wait_stdin frame=4 ready=1"));
    EXPECT_LT(between, run.record_index("call run frame=5"));
}

TEST(CommandInput, PollsFromInsideResetAndKeyboardCallbackRunNoLineTwiceAndLoseNone) {
    ScenarioRun run = run_scenario("reentry");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(run.record_with("call reset ").size(), 2u);
    std::vector<std::string> keys = {"keyboard frame=3 in_run=1 down=1 keycode=97 character=97 modifiers=0",
                                     "keyboard frame=3 in_run=1 down=1 keycode=98 character=98 modifiers=0"};
    EXPECT_EQ(run.record_with("keyboard "), keys);
    // The nested polls read nothing; each still latches the motion gathered
    // so far, so every mouse line's motion is seen exactly once.
    std::vector<std::string> mouse = {
        "mouse frame=3 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=3 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=3 x=3 y=4 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=3 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=3 x=5 y=6 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
        "mouse frame=4 x=0 y=0 left=0 right=0 wheelup=0 wheeldown=0 middle=0",
    };
    EXPECT_EQ(run.record_with("mouse "), mouse);
    int traced = 0;
    for (const std::string &line : run.diagnostics()) traced += line.rfind("INPUT_LINE ", 0) == 0;
    EXPECT_EQ(traced, 2);
    EXPECT_NE(index_of(run.diagnostics(), "INPUT_LINE count=2 dx=5 dy=6 buttons=0 wheel=0 px=0 py=0 inside=1"), -1);
}

TEST(CommandInput, LineLongerThanTheBufferIsDroppedAndQuitAfterItStillWorks) {
    ScenarioOptions options;
    options.timeout_ms = 10000;
    ScenarioRun run = run_scenario("long_line_then_quit", options);
    ASSERT_TRUE(ended_with(run, 0)) << "the QUIT after the long line was lost";
    EXPECT_TRUE(run.host.process.script_finished);
    EXPECT_EQ(run.statuses().back(), kStopped);
    std::vector<std::string> traced;
    for (const std::string &line : run.diagnostics())
        if (line.rfind("INPUT_LINE ", 0) == 0) traced.push_back(line);
    EXPECT_EQ(traced, std::vector<std::string>{"INPUT_LINE count=1 dx=7 dy=0 buttons=0 wheel=0 px=0 py=0 inside=1"});
}

}  // namespace
