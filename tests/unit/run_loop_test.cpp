// The paced run loop and the shutdown after it, on the fake counter: a
// scripted retro_run moves the counter by the time its frame "takes", the
// recorded sleeps move it too, and the tests read back when each frame ran.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "core_services/environment.h"
#include "host/host_state.h"
#include "host/run_loop.h"
#include "input/input_queries.h"
#include "parent_view.h"

namespace {

// What the scripted core does in each retro_run, and what it saw.
struct scripted_core {
    int64_t work_ticks = 0;               // counter ticks every frame takes
    std::map<int, int64_t> work_for;      // frames that take their own time
    int frames = 1;                       // the running flag is cleared inside this run
    std::function<void(int)> during_run;  // anything else frame n does
    std::vector<int64_t> starts;          // counter reading as each frame began
    std::vector<size_t> sleeps_before;    // sleeps recorded before each frame
    std::vector<int> polls_before;        // availability queries before each frame
};

scripted_core script;

void scripted_run(void) {
    int frame = (int)script.starts.size();
    script.starts.push_back(fake.counter);
    script.sleeps_before.push_back(fake.sleeps.size());
    script.polls_before.push_back(fake.peek_calls);
    auto own = script.work_for.find(frame);
    fake.counter += own != script.work_for.end() ? own->second : script.work_ticks;
    if (script.during_run) script.during_run(frame);
    if (frame + 1 >= script.frames) running = 0;
}

int64_t ticks_of_ms(double milliseconds) { return (int64_t)(milliseconds * (double)fake.frequency / 1000.0); }

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_host();
        script = scripted_core{};
        core_run = scripted_run;
    }

    // Ticks per frame at the given rate on the current counter.
    double period(double rate = 60.0) { return (double)fake.frequency / rate; }

    // A frame whose work fits its period starts at most 2 ms before its
    // slot (the sleep stops 1 to 2 ms short) and never after it. One tick of
    // slack covers the rounding of slots summed in doubles.
    void expect_frame_on_schedule(int frame, double slot_ticks) {
        ASSERT_LT((size_t)frame, script.starts.size());
        double start = (double)script.starts[frame];
        EXPECT_LE(start, slot_ticks + 1.0) << "frame " << frame << " started late";
        EXPECT_GE(start, slot_ticks - (double)ticks_of_ms(2.0) - 1.0) << "frame " << frame << " started early";
    }
};

TEST_F(RunLoop, AFiveMillisecondFrameAtSixtyHertzSleepsTenMilliseconds) {
    script.work_ticks = ticks_of_ms(5.0);
    run_loop();
    EXPECT_EQ(script.starts.size(), 1u);
    EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{10});
}

TEST_F(RunLoop, AFrameLeavingOnePointEightMillisecondsSleepsZero) {
    // 166,666.67 ticks per frame; 148,667 of them spent leaves 1.79997 ms.
    script.work_ticks = 148667;
    run_loop();
    EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{0});
}

TEST_F(RunLoop, RemainingTimesOfOnePointFiveMillisecondsOrLessAreNotSlept) {
    struct remaining_case {
        double rate;
        int64_t work;
        std::vector<uint32_t> sleeps;
    };
    // At 50 frames per second a frame is exactly 200,000 ticks: 15,000 left is 1.5 ms.
    for (const remaining_case &c : {remaining_case{50.0, 185000, {}}, remaining_case{50.0, 184999, {0}},
                                    remaining_case{60.0, 151667, {}}, remaining_case{60.0, ticks_of_ms(16.0), {}},
                                    remaining_case{60.0, ticks_of_ms(40.0), {}}}) {
        SCOPED_TRACE("rate " + std::to_string(c.rate) + ", work " + std::to_string(c.work) + " ticks");
        reset_fake_host();
        script = scripted_core{};
        core_run = scripted_run;
        frame_rate = c.rate;
        script.work_ticks = c.work;
        run_loop();
        EXPECT_EQ(fake.sleeps, c.sleeps);
    }
}

TEST_F(RunLoop, FramesKeepAnAbsoluteScheduleWithoutDrift) {
    script.work_ticks = ticks_of_ms(5.0);
    script.frames = 600;
    run_loop();
    ASSERT_EQ(script.starts.size(), 600u);
    for (int frame = 0; frame < 600; frame++) expect_frame_on_schedule(frame, frame * period());
    EXPECT_EQ(fake.sleeps.size(), 600u);
}

TEST_F(RunLoop, AFrameThreeHundredMillisecondsLateIsCaughtUpByFramesRunBackToBack) {
    script.work_ticks = ticks_of_ms(1.0);
    script.work_for[0] = ticks_of_ms(300.0);
    script.frames = 40;
    run_loop();
    ASSERT_EQ(script.starts.size(), 40u);
    // Frames 1 to 19 each take 1 ms while their slots come every 16.67 ms:
    // the schedule is met again only after frame 19, and nothing sleeps before.
    for (int frame = 1; frame <= 19; frame++) {
        EXPECT_EQ(script.sleeps_before[frame], 0u) << "frame " << frame;
        EXPECT_EQ(script.starts[frame], ticks_of_ms(300.0) + (frame - 1) * ticks_of_ms(1.0));
    }
    EXPECT_EQ(script.sleeps_before[20], 1u);
    // The schedule was kept, not moved: later frames fall in their original slots.
    for (int frame = 20; frame < 40; frame++) expect_frame_on_schedule(frame, frame * period());
}

TEST_F(RunLoop, AFrameSixHundredMillisecondsLateRestartsTheScheduleWithoutABurst) {
    script.work_ticks = ticks_of_ms(1.0);
    script.work_for[0] = ticks_of_ms(600.0);
    script.frames = 10;
    run_loop();
    ASSERT_EQ(script.starts.size(), 10u);
    EXPECT_EQ(script.sleeps_before[1], 0u);
    // The very next frame already waits: its due time is one period after the late reading.
    EXPECT_EQ(script.sleeps_before[2], 1u);
    double restart = (double)ticks_of_ms(600.0);
    for (int frame = 1; frame < 10; frame++) expect_frame_on_schedule(frame, restart + (frame - 1) * period());
}

TEST_F(RunLoop, TheScheduleRestartsOnlyWhenMoreThanHalfASecondBehind) {
    // 6 MHz at 60 frames per second: a frame is exactly 100,000 ticks and
    // half a second is 3,000,000 ticks.
    for (int64_t beyond : {int64_t{0}, int64_t{1}}) {
        SCOPED_TRACE("behind by half a second plus " + std::to_string(beyond) + " tick");
        reset_fake_host();
        script = scripted_core{};
        core_run = scripted_run;
        fake.frequency = 6000000;
        script.work_ticks = 1000;
        script.work_for[0] = 100000 + 3000000 + beyond;
        script.frames = 2;
        run_loop();
        ASSERT_EQ(script.starts.size(), 2u);
        if (beyond == 0)
            EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{}) << "exactly half a second behind is caught up";
        else
            EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{15}) << "the next frame is due one period after the reading";
    }
}

TEST_F(RunLoop, ARateChangeWhileRunningDoesNotChangeThePacing) {
    script.work_ticks = ticks_of_ms(2.0);
    script.frames = 61;
    script.during_run = [](int frame) {
        if (frame != 0) return;
        retro_system_av_info av = {};
        av.geometry = {320, 200, 320, 200, 1.6f};
        av.timing = {30.0, 44100.0};
        environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    };
    run_loop();
    EXPECT_EQ(frame_rate, 30.0);
    ASSERT_EQ(script.starts.size(), 61u);
    for (int frame = 1; frame < 61; frame++) expect_frame_on_schedule(frame, frame * period(60.0));
}

TEST_F(RunLoop, AFrameRateOfOneOrLessIsPacedAtSixtyFramesPerSecond) {
    for (double rate : {1.0, 0.5, 0.0, -30.0}) {
        SCOPED_TRACE("frame rate " + std::to_string(rate));
        reset_fake_host();
        script = scripted_core{};
        core_run = scripted_run;
        frame_rate = rate;
        script.work_ticks = ticks_of_ms(1.0);
        script.frames = 3;
        run_loop();
        ASSERT_EQ(script.starts.size(), 3u);
        expect_frame_on_schedule(1, period(60.0));
        expect_frame_on_schedule(2, 2 * period(60.0));
    }
    // Just above 1.0 the core's own rate counts: one frame per 0.99 s.
    reset_fake_host();
    script = scripted_core{};
    core_run = scripted_run;
    frame_rate = 1.01;
    script.frames = 2;
    run_loop();
    ASSERT_EQ(script.starts.size(), 2u);
    expect_frame_on_schedule(1, period(1.01));
}

TEST_F(RunLoop, ACounterFrequencyOfZeroOrLessNeverSleeps) {
    for (int64_t frequency : {int64_t{0}, int64_t{-10000000}}) {
        SCOPED_TRACE("frequency " + std::to_string(frequency));
        reset_fake_host();
        script = scripted_core{};
        core_run = scripted_run;
        fake.frequency = frequency;
        // A counter running backwards keeps every due time in the future.
        script.work_ticks = -1000000;
        script.frames = 5;
        run_loop();
        EXPECT_EQ(script.starts.size(), 5u);
        EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{});
    }
}

TEST_F(RunLoop, TheCommandInputIsPolledOnceBeforeEveryRun) {
    script.work_ticks = ticks_of_ms(3.0);
    script.frames = 5;
    run_loop();
    ASSERT_EQ(script.polls_before.size(), 5u);
    for (int frame = 0; frame < 5; frame++) EXPECT_EQ(script.polls_before[frame], frame + 1);
    EXPECT_EQ(fake.peek_calls, 5) << "no poll after the flag was cleared inside the last run";
}

TEST_F(RunLoop, AQuitWaitingAtTheTopOfAnIterationPreventsThatRun) {
    script.work_ticks = ticks_of_ms(3.0);
    script.frames = 100;
    script.during_run = [](int frame) {
        if (frame == 2) fake.pipe += "QUIT\n";
    };
    run_loop();
    EXPECT_EQ(script.starts.size(), 3u);
    EXPECT_EQ(fake.sleeps.size(), 3u) << "the frame before the QUIT is still paced";
    EXPECT_EQ(running, 0);
}

TEST_F(RunLoop, AQuitInThePipeBeforeTheFirstFrameMeansNoRunAtAll) {
    fake.pipe = "QUIT\n";
    run_loop();
    EXPECT_EQ(script.starts.size(), 0u);
    EXPECT_EQ(fake.peek_calls, 1);
    EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{});
}

TEST_F(RunLoop, AFlagClearedDuringARunEndsTheLoopAfterThatFramesPacing) {
    // 4.5 ms of work leaves 12.17, 13.33 and 13.5 ms: sleeps of 11, 12 and 12.
    script.work_ticks = ticks_of_ms(4.5);
    script.frames = 100;
    script.during_run = [](int frame) {
        if (frame == 2) environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
    };
    run_loop();
    EXPECT_EQ(script.starts.size(), 3u);
    EXPECT_EQ(fake.sleeps, (std::vector<uint32_t>{11, 12, 12}));
    EXPECT_EQ(fake.peek_calls, 3);
}

TEST_F(RunLoop, AQuitReadByTheCoresInputPollEndsTheLoopAfterThatFramesPacing) {
    script.work_ticks = ticks_of_ms(5.0);
    script.frames = 100;
    script.during_run = [](int frame) {
        if (frame != 1) return;
        fake.pipe += "QUIT\n";
        input_poll();
    };
    run_loop();
    EXPECT_EQ(script.starts.size(), 2u);
    EXPECT_EQ(fake.sleeps.size(), 2u);
    EXPECT_EQ(running, 0);
}

TEST_F(RunLoop, AFlagAlreadyClearSkipsTheLoopWithoutPollingOrSleeping) {
    running = 0;
    fake.pipe = "M 5 0 0 0 0 0 0\n";
    run_loop();
    EXPECT_EQ(script.starts.size(), 0u);
    EXPECT_EQ(fake.peek_calls, 0);
    EXPECT_EQ(fake.sleeps, std::vector<uint32_t>{});
    EXPECT_EQ(fake.pipe, "M 5 0 0 0 0 0 0\n");
}

// Shutdown, with the core's unload and deinit replaced by recorders.
std::vector<std::string> shutdown_events;

void record_unload(void) {
    kalmo::DecodedStream sent = kalmo::decode_stream(fake.protocol);
    shutdown_events.push_back("unload after " + std::to_string(sent.audio.size()) + " audio, " +
                              std::to_string(sent.statuses.size()) + " status, " +
                              std::to_string(fake.libraries_freed) + " freed");
}

void record_deinit(void) {
    kalmo::DecodedStream sent = kalmo::decode_stream(fake.protocol);
    shutdown_events.push_back("deinit after " + std::to_string(sent.audio.size()) + " audio, " +
                              std::to_string(sent.statuses.size()) + " status, " +
                              std::to_string(fake.libraries_freed) + " freed");
}

class OrderlyShutdown : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_host();
        shutdown_events.clear();
        core_unload_game = record_unload;
        core_deinit = record_deinit;
    }
};

TEST_F(OrderlyShutdown, SendsGatheredAudioThenUnloadsDeinitialisesReleasesAndStopsWithCodeZero) {
    audio_sample(1, -1);
    audio_sample(2, -2);
    audio_sample(3, -3);
    ASSERT_EQ(fake.protocol, "") << "three single frames are only gathered";
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(shutdown_events, (std::vector<std::string>{"unload after 1 audio, 0 status, 0 freed",
                                                         "deinit after 1 audio, 0 status, 0 freed"}));
    EXPECT_EQ(fake.libraries_freed, 1);
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{0});
    kalmo::DecodedStream sent = kalmo::decode_stream(fake.protocol);
    ASSERT_EQ(sent.error, "");
    ASSERT_EQ(sent.packets.size(), 2u);
    EXPECT_EQ(sent.packets[0].type, kalmo::kAudioPacket);
    ASSERT_EQ(sent.audio.size(), 1u);
    EXPECT_EQ(sent.audio[0].frames, 3u);
    EXPECT_EQ(sent.audio[0].samples, (std::vector<int16_t>{1, -1, 2, -2, 3, -3}));
    EXPECT_EQ(sent.statuses, std::vector<std::string>{"{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}"});
}

TEST_F(OrderlyShutdown, WithNothingGatheredSendsNoAudioAndOnlyTheStoppedMessage) {
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(shutdown_events, (std::vector<std::string>{"unload after 0 audio, 0 status, 0 freed",
                                                         "deinit after 0 audio, 0 status, 0 freed"}));
    EXPECT_EQ(status_messages(), std::vector<std::string>{"{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}"});
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{0});
}

TEST_F(OrderlyShutdown, AQuitEndsTheLoopAndShutdownFollowsWithTheLastGatheredFrames) {
    script = scripted_core{};
    script.frames = 100;
    script.work_ticks = ticks_of_ms(4.0);
    script.during_run = [](int frame) {
        audio_sample((int16_t)frame, (int16_t)-frame);
        if (frame == 3) fake.pipe += "QUIT\n";
    };
    core_run = scripted_run;
    run_loop();
    EXPECT_THROW(shut_down(), fake_exit);
    kalmo::DecodedStream sent = kalmo::decode_stream(fake.protocol);
    ASSERT_EQ(sent.audio.size(), 1u);
    EXPECT_EQ(sent.audio[0].samples, (std::vector<int16_t>{0, 0, 1, -1, 2, -2, 3, -3}));
    EXPECT_EQ(sent.statuses.back(), "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}");
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{0});
}

}  // namespace

// The 1 ms timer resolution: asked for once before the first run, given back
// once at shutdown before "stopped", however the run ends.
class TimerResolution : public RunLoop {
protected:
    void SetUp() override {
        RunLoop::SetUp();
        core_unload_game = core_deinit = [] {};
    }
    std::vector<std::string> call_names() {
        std::vector<std::string> names;
        for (const auto &call : fake.timer_calls) names.push_back(call.first);
        return names;
    }
    // The release comes when everything but the "stopped" packet is written.
    void expect_released_just_before_stopped() {
        ASSERT_EQ(fake.timer_calls.size(), 2u);
        std::string stopped = "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}";
        ASSERT_GE(fake.protocol.size(), stopped.size() + 9);
        EXPECT_EQ(fake.protocol.substr(fake.protocol.size() - stopped.size()), stopped);
        EXPECT_EQ(fake.timer_calls[1].second, fake.protocol.size() - stopped.size() - 9);
    }
};

TEST_F(TimerResolution, IsRequestedOnceBeforeTheFirstRunAndReleasedOnceBeforeStopped) {
    script.frames = 3;
    std::vector<size_t> calls_at_run;
    script.during_run = [&](int) { calls_at_run.push_back(fake.timer_calls.size()); };
    run_loop();
    EXPECT_EQ(calls_at_run, (std::vector<size_t>{1, 1, 1}));
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(call_names(), (std::vector<std::string>{"request 1", "release 1"}));
    expect_released_just_before_stopped();
}

TEST_F(TimerResolution, IsReleasedWhenQuitArrivesBeforeTheFirstFrame) {
    fake.pipe = "QUIT\n";
    run_loop();
    EXPECT_TRUE(script.starts.empty());
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(call_names(), (std::vector<std::string>{"request 1", "release 1"}));
    expect_released_just_before_stopped();
}

TEST_F(TimerResolution, IsReleasedWhenTheCoreStoppedDuringBringUp) {
    running = 0;
    run_loop();
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(call_names(), (std::vector<std::string>{"request 1", "release 1"}));
    expect_released_just_before_stopped();
}

TEST_F(TimerResolution, ARefusedRequestIsNeverReleasedAndTheRunGoesOn) {
    fake.timer_request_granted = false;
    script.frames = 2;
    run_loop();
    EXPECT_EQ(script.starts.size(), 2u);
    EXPECT_THROW(shut_down(), fake_exit);
    EXPECT_EQ(call_names(), std::vector<std::string>{"request 1"});
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{0});
}

TEST_F(TimerResolution, AtTheDefaultTickAGrantedRequestKeepsFramesWithinTwoMillisecondsOfDue) {
    // Frames of 5 ms at 60 Hz: Sleep(10) at a 15.625 ms tick would wake up to
    // a whole tick late; at 1 ms every frame starts within 2 ms of its slot.
    fake.sleep_tick_ms = 15.625;
    script.frames = 30;
    script.work_ticks = ticks_of_ms(5.0);
    run_loop();
    EXPECT_EQ(fake.sleep_tick_ms, 1.0);
    for (int frame = 0; frame < 30; frame++) expect_frame_on_schedule(frame, frame * period());
}
