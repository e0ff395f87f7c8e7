// The core's input queries answered from the parent's lines: mouse motion
// latched once per poll, buttons, pointer and keys from the last state, the
// analog-stick fallback with its ScummVM and nine-poll rules, and the
// once-only INPUT_QUERY and INPUT_MODE lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_state.h"
#include "host/libretro.h"
#include "input/command_reader.h"
#include "input/input_queries.h"
#include "parent_view.h"

namespace {

void send(const std::string &lines) {
    fake.pipe += lines;
    poll_command_input();
}

void polls(int count) {
    for (int i = 0; i < count; i++) input_poll();
}

int16_t mouse(unsigned id) { return input_state(0, RETRO_DEVICE_MOUSE, 0, id); }
int16_t pointer(unsigned id) { return input_state(0, RETRO_DEVICE_POINTER, 0, id); }
int16_t analog(unsigned index, unsigned id) { return input_state(0, RETRO_DEVICE_ANALOG, index, id); }
int16_t key(unsigned id) { return input_state(0, RETRO_DEVICE_KEYBOARD, 0, id); }

const char *const mouse_mode = "INPUT_MODE physical-retromouse-active";
const char *const pointer_mode = "INPUT_MODE pointer-query-available-but-not-selected";
const char *const analog_mode = "INPUT_MODE analog-fallback-from-physical-mouse";

using lines = std::vector<std::string>;

class InputQueries : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_F(InputQueries, EachPollLatchesTheMotionThatArrivedSinceThePreviousPoll) {
    send("M 3 4 0 1 0 0 0\n");
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 0) << "not latched before the poll";
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 3);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_Y), 4);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 1);
    // Motion read at the top of the next frame waits for the next poll.
    send("M 10 20 0 0 0 0 0\n");
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 3);
    // A line still in the pipe when the core polls counts for that poll.
    fake.pipe += "M 1 1 0 0 0 0 0\n";
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 11);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_Y), 21);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 0);
    EXPECT_EQ(input_queries.poll_count, 2u);
}

TEST_F(InputQueries, MouseAxesAnswerTheLowSixteenBitsAndTheWheelItsDirection) {
    send("M 5 -70000 0 2 0 0 0\nM 40000 0 0 -7 0 0 0\n");
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 40005 - 65536);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_Y), -4464);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELDOWN), 1);
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_Y), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELDOWN), 0);
}

TEST_F(InputQueries, WheelStepsInOneFrameAreNettedToOneDirection) {
    send("M 0 0 0 5 0 0 0\n");
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 1);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELDOWN), 0);
    send("M 0 0 0 3 0 0 0\nM 0 0 0 -3 0 0 0\n");
    input_poll();
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELUP), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_WHEELDOWN), 0);
}

TEST_F(InputQueries, MouseButtonsAnswerTheLastStateSentWithoutWaitingForAPoll) {
    send("M 0 0 7 0 0 0 0\n");
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_LEFT), 1);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_RIGHT), 1);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_MIDDLE), 1);
    send("M 0 0 2 0 0 0 0\n");
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_LEFT), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_RIGHT), 1);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_MIDDLE), 0);
    send("M 0 0 -8 0 0 0 0\n");
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_LEFT), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_RIGHT), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_MIDDLE), 0);
}

TEST_F(InputQueries, TheFirstMouseQueryIsTracedThenAnnouncedAndOtherPortsAnswerAlike) {
    send("M 9 0 0 0 0 0 0\n");
    input_poll();
    forget_output();
    EXPECT_EQ(input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_X), 9);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=2 id=0", mouse_mode}));
    forget_output();
    EXPECT_EQ(input_state(1, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_X), 9);
    EXPECT_EQ(input_state(7, RETRO_DEVICE_MOUSE, 3, RETRO_DEVICE_ID_MOUSE_X), 9);
    EXPECT_EQ(fake.diagnostics, "");
}

TEST_F(InputQueries, EachDeviceTypeAndIdBelowTheirBoundsIsTracedOnce) {
    mouse(64);
    key(97);
    input_state(0, 8, 0, 0);
    input_state(0, 0x108, 0, 1);
    EXPECT_EQ(diagnostic_lines(), (lines{mouse_mode})) << "ids from 64 and types from 8 are never traced";
    forget_output();
    key(5);
    input_state(0, 0x103, 0, 6);
    input_state(0, 0x203, 0, 5);
    input_state(3, RETRO_DEVICE_KEYBOARD, 9, 6);
    mouse(63);
    input_state(0, RETRO_DEVICE_NONE, 0, 0);
    input_state(0, 7, 0, 63);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=3 id=5", "INPUT_QUERY device=3 id=6",
                                         "INPUT_QUERY device=2 id=63", "INPUT_QUERY device=0 id=0",
                                         "INPUT_QUERY device=7 id=63"}));
}

TEST_F(InputQueries, KeyboardQueriesAnswerTheKeyTableAndSubclassesAreKeyboards) {
    send("K 97 1 97 0\nK 4464 1 0 0\nK 65535 1 0 0\n");
    EXPECT_EQ(key(97), 1);
    EXPECT_EQ(input_state(0, 0x103, 0, 97), 1);
    EXPECT_EQ(key(98), 0);
    EXPECT_EQ(key(65535), 1);
    EXPECT_EQ(key(70000), 0) << "ids above the table are not folded into it";
    send("K 97 0 97 0\n");
    EXPECT_EQ(key(97), 0);
    for (const std::string &line : diagnostic_lines()) EXPECT_EQ(line.rfind("INPUT_MODE", 0), std::string::npos) << line;
}

TEST_F(InputQueries, PointerAnswersFollowTheLastLineAndPressedNeedsInside) {
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_IS_OFFSCREEN), 1) << "off screen before any mouse line";
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_COUNT), 0);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_PRESSED), 0);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_X), 0);
    send("M 0 0 1 0 300 -5 0\n");
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_PRESSED), 0) << "left held but off screen";
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_IS_OFFSCREEN), 1);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_X), 300);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_Y), -5);
    send("M 0 0 1 0 70000 -70000 1\n");
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_PRESSED), 1);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_COUNT), 1);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_IS_OFFSCREEN), 0);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_X), 4464);
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_Y), -4464);
    send("M 0 0 6 0 1 2 5\n");
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_PRESSED), 0) << "only the left button presses";
    EXPECT_EQ(pointer(RETRO_DEVICE_ID_POINTER_COUNT), 1);
    for (unsigned id : {4u, 9u, 14u, 16u, 1000u}) EXPECT_EQ(pointer(id), 0) << "id " << id;
    int mode_lines = 0;
    for (const std::string &line : diagnostic_lines()) mode_lines += line == pointer_mode;
    EXPECT_EQ(mode_lines, 1);
}

TEST_F(InputQueries, ThePointerIsTracedThenAnnouncedOnItsFirstQuery) {
    pointer(RETRO_DEVICE_ID_POINTER_PRESSED);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=6 id=2", pointer_mode}));
}

class AnalogFallback : public InputQueries {
protected:
    // Polls that each latch the given horizontal motion; the INPUT_LINE
    // samples of those lines are forgotten.
    static void polls_moving(int count, int dx) {
        for (int i = 0; i < count; i++) {
            fake.pipe += "M " + std::to_string(dx) + " 0 0 0 0 0 0\n";
            input_poll();
        }
        forget_output();
    }
};

TEST_F(AnalogFallback, BeforeTheNinthPollTheStickAnswersZeroAndNothingIsAnnounced) {
    polls_moving(8, 3);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 0);
    input_state(0, RETRO_DEVICE_JOYPAD, 0, 0);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=5 id=0", "INPUT_QUERY device=1 id=0"}));
}

TEST_F(AnalogFallback, FromTheNinthPollTheFirstQueryAnnouncesItWhateverItsDevice) {
    polls(9);
    EXPECT_EQ(input_state(0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_A), 0);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=1 id=8", analog_mode}));
    forget_output();
    analog(0, RETRO_DEVICE_ID_ANALOG_X);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=5 id=0"})) << "announced once";
}

TEST_F(AnalogFallback, APointerIdOutsideItsTableCanStartTheFallback) {
    polls(9);
    EXPECT_EQ(pointer(5), 0);
    EXPECT_EQ(diagnostic_lines(), (lines{"INPUT_QUERY device=6 id=5", pointer_mode, analog_mode}));
}

TEST_F(AnalogFallback, TheLeftStickGivesEightThousandOneHundredNinetyTwoPerDeltaSaturated) {
    struct deflection {
        int delta;
        int16_t answer;
    };
    polls(8);
    for (const deflection &d : {deflection{3, 24576}, deflection{1, 8192}, deflection{-1, -8192},
                                deflection{-3, -24576}, deflection{4, 32767}, deflection{-4, -32768},
                                deflection{100, 32767}, deflection{-100, -32768}, deflection{0, 0},
                                deflection{2147483647, 32767}, deflection{-2147483647 - 1, -32768}}) {
        SCOPED_TRACE("delta " + std::to_string(d.delta));
        fake.pipe += "M " + std::to_string(d.delta) + " " + std::to_string(d.delta) + " 0 0 0 0 0\n";
        input_poll();
        EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), d.answer);
        EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_Y), d.answer);
    }
}

TEST_F(AnalogFallback, OnlyTheLeftStickAxesCarryMotion) {
    polls_moving(9, 2);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 16384);
    EXPECT_EQ(analog(1, RETRO_DEVICE_ID_ANALOG_X), 0) << "right stick";
    EXPECT_EQ(analog(0, 2), 0);
    EXPECT_EQ(input_state(0, RETRO_DEVICE_JOYPAD, 0, 0), 0);
    EXPECT_EQ(input_state(0, 0x105, 0, 0), 16384) << "an analog subclass is analog";
    EXPECT_EQ(input_state(1, RETRO_DEVICE_ANALOG, 0, 0), 16384) << "every port alike";
}

TEST_F(AnalogFallback, AMouseQueryTurnsTheFallbackOffForGood) {
    polls_moving(9, 3);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 24576);
    mouse(RETRO_DEVICE_ID_MOUSE_LEFT);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 0);
    polls_moving(20, 3);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 0);
    EXPECT_EQ(mouse(RETRO_DEVICE_ID_MOUSE_X), 3);
}

TEST_F(AnalogFallback, AMouseQueryBeforeTheNinthPollMeansTheFallbackNeverStarts) {
    mouse(RETRO_DEVICE_ID_MOUSE_X);
    polls_moving(12, 3);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 0);
    EXPECT_EQ(mouse(7), 0) << "mouse ids beyond its table";
    for (const std::string &line : diagnostic_lines()) EXPECT_NE(line, analog_mode);
}

TEST_F(AnalogFallback, TheScummVMCoreNeverGetsTheFallback) {
    scummvm_flag = 1;
    polls_moving(12, 3);
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 0);
    EXPECT_EQ(input_state(0, RETRO_DEVICE_JOYPAD, 0, 0), 0);
    for (const std::string &line : diagnostic_lines()) EXPECT_NE(line, analog_mode);
}

TEST_F(AnalogFallback, ResetClearsNeitherTheModesNorTheQueryTraces) {
    static int resets;
    resets = 0;
    core_reset = [] { resets++; };
    polls_moving(9, 1);
    analog(0, RETRO_DEVICE_ID_ANALOG_X);
    pointer(RETRO_DEVICE_ID_POINTER_X);
    send("RESET\n");
    ASSERT_EQ(resets, 1);
    forget_output();
    fake.pipe += "M 1 0 0 0 0 0 0\n";
    input_poll();
    EXPECT_EQ(analog(0, RETRO_DEVICE_ID_ANALOG_X), 8192);
    pointer(RETRO_DEVICE_ID_POINTER_X);
    EXPECT_EQ(fake.diagnostics, "");
}

}  // namespace
