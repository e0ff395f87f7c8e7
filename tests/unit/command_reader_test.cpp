// The command-input reader on a scripted pipe: which lines are commands,
// the field reader's rules, the INPUT_LINE samples, key lines reaching the
// core, lines split across calls or longer than the buffer, and a core that
// polls input again from inside the reset or keyboard callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core_services/environment.h"
#include "host/host_state.h"
#include "input/command_reader.h"
#include "input/input_queries.h"
#include "input/input_state.h"
#include "parent_view.h"

namespace {

void send(const std::string &bytes) {
    fake.pipe += bytes;
    poll_command_input();
}

std::vector<std::string> input_lines(void) {
    std::vector<std::string> traced;
    for (const std::string &line : diagnostic_lines())
        if (line.rfind("INPUT_LINE ", 0) == 0) traced.push_back(line);
    return traced;
}

// The counts of the INPUT_LINE lines written so far.
std::vector<uint32_t> traced_counts(void) {
    std::vector<uint32_t> counts;
    for (const std::string &line : input_lines()) counts.push_back((uint32_t)std::stoul(line.substr(17)));
    return counts;
}

struct key_call {
    bool down;
    unsigned keycode;
    uint32_t character;
    uint16_t modifiers;
    bool operator==(const key_call &) const = default;
};

std::vector<key_call> key_calls;
int resets;

void record_key(bool down, unsigned keycode, uint32_t character, uint16_t modifiers) {
    key_calls.push_back({down, keycode, character, modifiers});
}

void record_reset(void) { resets++; }

// The input state a mouse line writes, in the order of its fields.
struct mouse_fields {
    int32_t dx, dy, buttons, wheel, px, py, inside;
    bool operator==(const mouse_fields &) const = default;
};

void PrintTo(const mouse_fields &m, std::ostream *out) {
    *out << "{dx " << m.dx << ", dy " << m.dy << ", buttons " << m.buttons << ", wheel " << m.wheel << ", px "
         << m.px << ", py " << m.py << ", inside " << m.inside << "}";
}

void PrintTo(const key_call &k, std::ostream *out) {
    *out << "{" << k.down << ", " << k.keycode << ", " << k.character << ", " << k.modifiers << "}";
}

mouse_fields mouse_state(void) {
    return {input.pending_dx, input.pending_dy, input.buttons, input.pending_wheel, input.px, input.py, input.inside};
}

class CommandReader : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_host();
        key_calls.clear();
        resets = 0;
    }
};

TEST_F(CommandReader, QuitEndedByLineFeedOrCarriageReturnLineFeedClearsTheRunningFlag) {
    for (const char *line : {"QUIT\n", "QUIT\r\n"}) {
        reset_fake_host();
        send(line);
        EXPECT_EQ(running, 0) << line;
    }
}

TEST_F(CommandReader, OnlyTheExactFourBytesAreQuit) {
    for (const char *line : {"QUIT \n", "quit\n", "Quit\n", "QUIT\r\r\n", " QUIT\n", "QUITQUIT\n", "\rQUIT\n",
                             "QUIT", "QUIT\r", "QUI\n"}) {
        SCOPED_TRACE(line);
        reset_fake_host();
        send(line);
        EXPECT_EQ(running, 1);
    }
}

TEST_F(CommandReader, AZeroByteEndsTheTextOfALine) {
    send(std::string("QUIT\0 and more\n", 15));
    EXPECT_EQ(running, 0);
}

TEST_F(CommandReader, LinesAfterQuitInTheSameReadAreStillExecuted) {
    send("QUIT\nM 4 0 0 0 0 0 0\n");
    EXPECT_EQ(running, 0);
    EXPECT_EQ(input.pending_dx, 4);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(CommandReader, ResetCallsTheCoresResetAndNothingElse) {
    core_reset = record_reset;
    send("M 3 4 5 6 7 8 9\n");
    mouse_fields before = mouse_state();
    send("RESET\nRESET\r\n");
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(mouse_state(), before);
    EXPECT_EQ(running, 1);
    send("RESET \nreset\n RESET\nRESETS\n");
    EXPECT_EQ(resets, 2);
}

TEST_F(CommandReader, ResetWithoutABoundResetIsSkippedAndLaterLinesStillRun) {
    send("RESET\nM 6 0 0 0 0 0 0\n");
    EXPECT_EQ(input.pending_dx, 6);
}

TEST_F(CommandReader, TwoMouseLinesAddTheirMotionAndTheLastSetsTheRest) {
    send("M 1 2 3 4 5 6 7\nM 10 20 0 -1 50 60 0\n");
    EXPECT_EQ(mouse_state(), (mouse_fields{11, 22, 0, 3, 50, 60, 0}));
    EXPECT_EQ(input_lines(), (std::vector<std::string>{
                                 "INPUT_LINE count=1 dx=1 dy=2 buttons=3 wheel=4 px=5 py=6 inside=1",
                                 "INPUT_LINE count=2 dx=10 dy=20 buttons=0 wheel=-1 px=50 py=60 inside=0"}));
}

TEST_F(CommandReader, MouseFieldsFollowTheFieldReadersRules) {
    struct fields_case {
        const char *line;
        mouse_fields fields;
    };
    const fields_case cases[] = {
        {"M 5 3", {5, 3, 0, 0, 0, 0, 0}},
        {"M ", {0, 0, 0, 0, 0, 0, 0}},
        {"M 5 x 3 4 5 6 7", {5, 0, 0, 0, 0, 0, 0}},
        {"M - 5 6 7 8 9 10", {0, 5, 6, 7, 8, 9, 1}},
        {"M 0 0 -1 0 0 0 -2", {0, 0, -1, 0, 0, 0, 1}},
        {"M 5-3 1 0 0 0 0", {5, -3, 1, 0, 0, 0, 0}},
        {"M --5 1", {0, -5, 1, 0, 0, 0, 0}},
        {"M    7     8   ", {7, 8, 0, 0, 0, 0, 0}},
        {"M 1 2 3 4 5 6 7 8 9", {1, 2, 3, 4, 5, 6, 1}},
        {"M 1\t2 3 4 5 6 7", {1, 0, 0, 0, 0, 0, 0}},
        {"M +1 2 3 4 5 6 7", {0, 0, 0, 0, 0, 0, 0}},
        {"M 007 -0 0 0 0 0 00", {7, 0, 0, 0, 0, 0, 0}},
        {"M 4294967301 -4294967297 0 0 0 0 4294967296", {5, -1, 0, 0, 0, 0, 0}},
        {"M -2147483648 2147483648 2147483647 0 0 0 0", {INT32_MIN, INT32_MIN, INT32_MAX, 0, 0, 0, 0}},
        {"M 99999999999 0 0 0 0 0 0", {(int32_t)(uint32_t)(99999999999ull % 4294967296ull), 0, 0, 0, 0, 0, 0}},
    };
    for (const fields_case &c : cases) {
        SCOPED_TRACE(c.line);
        reset_fake_host();
        send(std::string(c.line) + "\n");
        EXPECT_EQ(mouse_state(), c.fields);
        EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1}) << "every mouse line counts";
    }
}

TEST_F(CommandReader, LinesThatOnlyLookLikeMouseLinesAreIgnoredAndNotCounted) {
    send("M5 5 5 5 5 5 5\nM\t5 5 5 5 5 5 5\nm 5 5 5 5 5 5 5\n M 5 5 5 5 5 5 5\nMM 5\nM\n\n\r\n");
    EXPECT_EQ(mouse_state(), (mouse_fields{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fake.diagnostics, "");
    send("M 1 0 0 0 0 0 0\n");
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(CommandReader, MotionSumsWrapAroundThirtyTwoBits) {
    send("M 2147483647 -2147483648 0 2147483647 0 0 0\nM 1 -1 0 1 0 0 0\n");
    EXPECT_EQ(input.pending_dx, INT32_MIN);
    EXPECT_EQ(input.pending_dy, INT32_MAX);
    EXPECT_EQ(input.pending_wheel, INT32_MIN);
}

TEST_F(CommandReader, TheInputLineTraceIsWrittenWithItsExactFormat) {
    send("M 5 -3 7 2 100 -200 1\n");
    EXPECT_EQ(fake.diagnostics, "INPUT_LINE count=1 dx=5 dy=-3 buttons=7 wheel=2 px=100 py=-200 inside=1\r\n");
    send("M -2147483648 2147483647 -1 -5 -100 100 0\n");
    send("M 0 0 -1 0 0 0 -2\n");
    send("M -2147483648 -2147483648 -2147483648 -2147483648 -2147483648 -2147483648 -2147483648\n");
    EXPECT_EQ(input_lines(), (std::vector<std::string>{
                                 "INPUT_LINE count=1 dx=5 dy=-3 buttons=7 wheel=2 px=100 py=-200 inside=1",
                                 "INPUT_LINE count=2 dx=-2147483648 dy=2147483647 buttons=4294967295 wheel=-5 "
                                 "px=-100 py=100 inside=0",
                                 "INPUT_LINE count=3 dx=0 dy=0 buttons=4294967295 wheel=0 px=0 py=0 inside=1",
                                 "INPUT_LINE count=4 dx=-2147483648 dy=-2147483648 buttons=2147483648 "
                                 "wheel=-2147483648 px=-2147483648 py=-2147483648 inside=1"}));
}

TEST_F(CommandReader, OnlyMouseLinesOneToSixThirtyOneTwentyAndEachThousandthAreTraced) {
    for (int line = 1; line <= 2100; line += 100) {
        std::string chunk;
        for (int i = line; i < line + 100; i++) chunk += "M " + std::to_string(i) + " -1 0 0 0 0 0\n";
        send(chunk);
    }
    EXPECT_EQ(traced_counts(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 30, 120, 1000, 2000}));
    // Each trace carries its own line's fields, not the sums.
    for (const std::string &line : input_lines()) {
        std::string count = line.substr(17, line.find(' ', 17) - 17);
        EXPECT_EQ(line, "INPUT_LINE count=" + count + " dx=" + count + " dy=-1 buttons=0 wheel=0 px=0 py=0 inside=0");
    }
    EXPECT_EQ(input.pending_dx, 2100 * 2101 / 2);
}

TEST_F(CommandReader, TheMouseLineCountWrapsAndKeepsSamplingEveryThousand) {
    command_reader.mouse_line_count = 4294966998u;
    send("M 1 0 0 0 0 0 0\nM 1 0 0 0 0 0 0\n");
    command_reader.mouse_line_count = 4294967294u;
    send("M 1 0 0 0 0 0 0\nM 1 0 0 0 0 0 0\nM 1 0 0 0 0 0 0\n");
    // 4294967000 is a multiple of 1000, and so is 0 after the wrap.
    EXPECT_EQ(traced_counts(), (std::vector<uint32_t>{4294967000u, 0, 1}));
}

TEST_F(CommandReader, AKeyLineSetsTheKeyTableAndCallsTheCoresKeyboardCallback) {
    retro_keyboard_callback callback = {record_key};
    environment_callback(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &callback);
    forget_output();
    send("K 97 1 97 0\n");
    EXPECT_EQ(input.key_state[97], 1);
    send("K 98 1 98 2\nK 97 0 97 0\n");
    EXPECT_EQ(input.key_state[97], 0);
    EXPECT_EQ(input.key_state[98], 1);
    EXPECT_EQ(key_calls, (std::vector<key_call>{{true, 97, 97, 0}, {true, 98, 98, 2}, {false, 97, 97, 0}}));
    EXPECT_EQ(fake.diagnostics, "") << "key lines are not traced";
}

TEST_F(CommandReader, KeyCodesAboveTheTableStillReachTheCallback) {
    keyboard_callback = record_key;
    send("K 70000 1 5 3\n");
    send("K -1 1 0 0\n");
    for (size_t code = 0; code < 65536; code++) ASSERT_EQ(input.key_state[code], 0) << "entry " << code;
    send("K 65535 7 0 0\n");
    EXPECT_EQ(input.key_state[65535], 1);
    EXPECT_EQ(key_calls,
              (std::vector<key_call>{{true, 70000, 5, 3}, {true, 4294967295u, 0, 0}, {true, 65535, 0, 0}}));
}

TEST_F(CommandReader, KeyFieldsPassTheCharacterWholeAndTheModifiersLowSixteenBits) {
    keyboard_callback = record_key;
    send("K 10 1 4294967295 65537\nK 11 0 -2 -1\nK 12\n");
    EXPECT_EQ(key_calls, (std::vector<key_call>{{true, 10, 4294967295u, 1}, {false, 11, 4294967294u, 65535},
                                                {false, 12, 0, 0}}));
}

TEST_F(CommandReader, WithoutAKeyboardCallbackKeyLinesStillSetTheTable) {
    send("K 300 1 0 0\n");
    EXPECT_EQ(input.key_state[300], 1);
}

TEST_F(CommandReader, LinesThatOnlyLookLikeKeyLinesAreIgnored) {
    keyboard_callback = record_key;
    send("K97 1 97 0\nk 97 1 97 0\nK\t97 1 97 0\n");
    EXPECT_EQ(key_calls.size(), 0u);
    EXPECT_EQ(input.key_state[97], 0);
}

TEST_F(CommandReader, LinesRunInTheOrderTheyArrive) {
    static std::vector<std::string> seen;
    seen.clear();
    keyboard_callback = [](bool, unsigned keycode, uint32_t, uint16_t) {
        seen.push_back("key " + std::to_string(keycode) + " at dx " + std::to_string(input.pending_dx));
    };
    core_reset = [] { seen.push_back("reset at dx " + std::to_string(input.pending_dx)); };
    send("M 1 0 0 0 0 0 0\nK 5 1 0 0\nM 2 0 0 0 0 0 0\nRESET\nM 4 0 0 0 0 0 0\nK 6 0 0 0\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"key 5 at dx 1", "reset at dx 3", "key 6 at dx 7"}));
}

TEST_F(CommandReader, ALineSplitAcrossCallsRunsOnceWhenItsLineFeedArrives) {
    send("M 1 2 3");
    EXPECT_EQ(mouse_state(), (mouse_fields{0, 0, 0, 0, 0, 0, 0}));
    send("0 4 5 6 7\n");
    EXPECT_EQ(mouse_state(), (mouse_fields{1, 2, 30, 4, 5, 6, 1}));
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
    send("QUIT\r");
    EXPECT_EQ(running, 1);
    send("\n");
    EXPECT_EQ(running, 0);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(CommandReader, ALineOf8190BytesRunsAndTheLineAfterItRunsOnTheNextCall) {
    std::string line = "M 1 2 3 4 5 6 7";
    line.resize(8190, ' ');
    fake.pipe = line + "\nM 10 0 0 0 0 0 0\n";
    poll_command_input();
    EXPECT_EQ(mouse_state(), (mouse_fields{1, 2, 3, 4, 5, 6, 1}));
    poll_command_input();
    EXPECT_EQ(input.pending_dx, 11);
    EXPECT_EQ(fake.pipe, "");
}

TEST_F(CommandReader, AllTheReadsOneCallNeedsHappenInThatCall) {
    fake.read_limit = 3;
    fake.pipe = "M 1 0 0 0 0 0 0\nK 4 1 0 0\nQUIT\n";
    size_t length = fake.pipe.size();
    poll_command_input();
    EXPECT_EQ(fake.peek_calls, 1);
    EXPECT_EQ(fake.read_calls, (int)((length + 2) / 3));
    EXPECT_EQ(input.pending_dx, 1);
    EXPECT_EQ(input.key_state[4], 1);
    EXPECT_EQ(running, 0);
}

TEST_F(CommandReader, AnEmptyOrBrokenPipeIsNotRead) {
    poll_command_input();
    EXPECT_EQ(fake.peek_calls, 1);
    EXPECT_EQ(fake.read_calls, 0);
    fake.pipe = "QUIT\n";
    fake.pipe_broken = true;
    poll_command_input();
    poll_command_input();
    EXPECT_EQ(fake.read_calls, 0);
    EXPECT_EQ(running, 1);
    EXPECT_EQ(fake.pipe, "QUIT\n");
}

// Lines longer than the buffer. Their last bytes are made to look like
// commands, so a reader that took the rest of a long line for a new line
// would be caught running them.
class LongLine : public CommandReader {
protected:
    // Polls until the pipe is empty, as the run loop would; false when the
    // reader stops making progress.
    static bool drain(void) {
        for (int calls = 0; calls < 100; calls++) {
            if (fake.pipe.empty()) return true;
            poll_command_input();
        }
        return fake.pipe.empty();
    }
};

TEST_F(LongLine, ALineOf8191BytesIsDroppedAndTheLinesAfterItRun) {
    std::string line = "M 1 0 0 0 0 0 0";
    line.resize(8191, ' ');
    fake.pipe = line + "\nM 2 0 0 0 0 0 0\n";
    ASSERT_TRUE(drain());
    poll_command_input();
    EXPECT_EQ(input.pending_dx, 2);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(LongLine, ALongLineIsDroppedUpToItsLineFeedAndQuitAfterItStillWorks) {
    fake.pipe = std::string(8191, 'x') + "QUIT\n" + std::string(9000, 'y') + "M 9 9 9 9 9 9 9\nM 3 0 0 0 0 0 0\n";
    ASSERT_TRUE(drain());
    poll_command_input();
    EXPECT_EQ(running, 1) << "the QUIT was the tail of a long line";
    EXPECT_EQ(input.pending_dx, 3);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
    send("QUIT\n");
    EXPECT_EQ(running, 0);
}

TEST_F(LongLine, TheDropGoesOnUntilALineFeedArrivesInALaterCall) {
    send(std::string(9000, 'x'));
    send("M 7 0 0 0 0 0 0");
    send(std::string(20000, 'z'));
    send("QUIT");
    EXPECT_EQ(running, 1);
    send("\nM 3 0 0 0 0 0 0\nQUIT\n");
    ASSERT_TRUE(drain());
    poll_command_input();
    EXPECT_EQ(input.pending_dx, 3);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(LongLine, ALineThatOutgrowsTheBufferOverSeveralCallsIsDroppedWhole) {
    send("M 4 0 0 0 0 0 0" + std::string(5000, ' '));
    send(std::string(5000, ' '));
    send("QUIT\nM 2 0 0 0 0 0 0\n");
    ASSERT_TRUE(drain());
    EXPECT_EQ(running, 1);
    EXPECT_EQ(input.pending_dx, 2);
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{1});
}

TEST_F(LongLine, AFullBufferWhoseLineFeedIsTheNextByteIsDroppedCleanly) {
    send(std::string(8191, 'x'));
    send("\nQUIT\n");
    ASSERT_TRUE(drain());
    EXPECT_EQ(running, 0);
}

TEST_F(LongLine, ATenMegabyteLineThroughASmallPipeIsDroppedAndQuitAfterItWorks) {
    // Mouse lines run together without line feeds: wherever a reader cut
    // this line, the cut could read as a mouse line.
    std::string pattern = "M 1 1 1 1 1 1 1 ";
    std::string stream;
    while (stream.size() < 10 * 1024 * 1024) stream += pattern;
    stream += "\nQUIT\n";
    fake.read_limit = 4096;
    size_t fed = 0;
    int polls = 0;
    // A pipe of 64 KiB: the parent tops it up while there is room.
    while ((fed < stream.size() || !fake.pipe.empty()) && polls < 5000) {
        size_t room = 65536 - fake.pipe.size();
        size_t take = std::min(room, stream.size() - fed);
        fake.pipe.append(stream, fed, take);
        fed += take;
        poll_command_input();
        polls++;
    }
    EXPECT_EQ(fed, stream.size());
    EXPECT_EQ(fake.pipe, "") << "the reader stopped making progress after " << polls << " polls";
    EXPECT_EQ(running, 0);
    EXPECT_EQ(mouse_state(), (mouse_fields{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(traced_counts(), std::vector<uint32_t>{});
}

// A core that polls input from inside the callbacks the reader calls.
class ReentrantCore : public CommandReader {};

TEST_F(ReentrantCore, AKeyboardCallbackThatPollsInputRunsNoLineTwiceAndLosesNone) {
    static int peeks_in_nested_poll;
    peeks_in_nested_poll = 0;
    keyboard_callback = [](bool down, unsigned keycode, uint32_t character, uint16_t modifiers) {
        record_key(down, keycode, character, modifiers);
        fake.pipe += "M 1 0 0 0 0 0 0\n";
        int peeks = fake.peek_calls;
        input_poll();
        peeks_in_nested_poll += fake.peek_calls - peeks;
    };
    send("K 97 1 97 0\nM 5 0 0 0 0 0 0\nK 98 1 98 0\n");
    EXPECT_EQ(key_calls, (std::vector<key_call>{{true, 97, 97, 0}, {true, 98, 98, 0}}));
    EXPECT_EQ(peeks_in_nested_poll, 0) << "a nested poll returns without looking at the pipe";
    EXPECT_EQ(input_queries.frame_dx, 5) << "the second key's poll latched the motion before it";
    EXPECT_EQ(input.pending_dx, 0);
    poll_command_input();
    EXPECT_EQ(input.pending_dx, 2) << "the lines that arrived during the callbacks run on the next call";
    EXPECT_EQ(key_calls.size(), 2u);
    EXPECT_EQ(traced_counts(), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(ReentrantCore, AResetThatPollsInputRunsNoLineTwiceAndLosesNone) {
    core_reset = [] {
        resets++;
        fake.pipe += "M 1 0 0 0 0 0 0\n";
        input_poll();
    };
    send("RESET\nM 5 0 0 0 0 0 0\nRESET\nQUIT\n");
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(input_queries.poll_count, 2u);
    EXPECT_EQ(input_queries.frame_dx, 5);
    poll_command_input();
    EXPECT_EQ(input.pending_dx, 2);
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(traced_counts(), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(ReentrantCore, TheReaderAcceptsInputAgainOnceTheNestedCallIsOver) {
    core_reset = [] {
        resets++;
        poll_command_input();
    };
    send("RESET\n");
    send("RESET\n");
    EXPECT_EQ(resets, 2);
    send("M 8 0 0 0 0 0 0\n");
    EXPECT_EQ(input.pending_dx, 8);
}

}  // namespace
