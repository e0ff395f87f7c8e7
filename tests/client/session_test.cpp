// kalmo-client against the real host on Linux, through the C interface:
// a normal run, each exit code, quit and stop, a slow reader under the
// latest-video policy, a desynchronised or cut stream (from the fake host),
// checked commands, what the host inherits, callbacks, and start failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "client_run.h"
#include "host_session.h"
#include "probe_pattern.h"

namespace client_test {
namespace {

const SeenEvent &exit_of(const ClientRun &run) {
    static const SeenEvent none;
    const SeenEvent *found = run.last_of(KALMO_CLIENT_EVENT_EXIT);
    return found ? *found : none;
}

TEST(ClientSession, DemoRunGivesStagesFramesSoundAndAnOrderlyExitAfterQuit) {
    ClientRun run(host_path(), demo_core(), demo_content());
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    EXPECT_GT(kalmo_client_host_pid(run.client), 0);
    size_t frames = 0;
    run.take_all([&](const kalmo_client_event &event) {
        if (event.type == KALMO_CLIENT_EVENT_VIDEO && ++frames == 10)
            EXPECT_EQ(kalmo_client_send_quit(run.client), KALMO_CLIENT_OK);
    });
    EXPECT_EQ(run.last_result, KALMO_CLIENT_ENDED);
    std::vector<std::string> states = run.states();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), "stage");
    EXPECT_NE(std::find(states.begin(), states.end(), "running"), states.end());
    EXPECT_EQ(states.back(), "stopped");
    const SeenEvent *frame = run.last_of(KALMO_CLIENT_EVENT_VIDEO);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 320u);
    EXPECT_EQ(frame->height, 240u);
    EXPECT_EQ(frame->rgba[3], 255);
    const SeenEvent *audio = run.last_of(KALMO_CLIENT_EVENT_AUDIO);
    ASSERT_NE(audio, nullptr);
    EXPECT_GT(audio->sample_rate, 0u);
    EXPECT_EQ(run.diagnostics().front().rfind("HOST_BUILD=", 0), 0u);
    ASSERT_EQ(run.events.back().type, KALMO_CLIENT_EVENT_EXIT) << "the exit event comes last";
    EXPECT_EQ(exit_of(run).exit.kind, KALMO_CLIENT_EXIT_CODE);
    EXPECT_EQ(exit_of(run).exit.exit_code, 0);
    EXPECT_EQ(exit_of(run).exit_meaning, "exit code 0: the game ended (QUIT or the core's request)");
    EXPECT_EQ(kalmo_client_host_pid(run.client), 0);
    kalmo_client_event after;
    EXPECT_EQ(kalmo_client_next_event(run.client, 0, &after), KALMO_CLIENT_ENDED);
    EXPECT_EQ(kalmo_client_send_reset(run.client), KALMO_CLIENT_HOST_GONE);
    EXPECT_NE(std::string(kalmo_client_last_error(run.client)).find("ended"), std::string::npos);
}

TEST(ClientSession, EachExitCodeOfTheHostArrivesWithItsMeaningInWords) {
    struct Case {
        std::string host, core, content;
        int code;
        const char *meaning;
    } cases[] = {
        {fake_host(), "/fake/exits_2", "none", 2, "bad arguments"},
        {host_path(), "/nowhere/missing_core.so", "none", 3, "the core library does not load"},
        {host_path(), not_a_core(), "none", 4, "the core lacks a Libretro entry point"},
        {host_path(), probe_core(), scenario("refuse_content"), 5, "the core refused the content"},
    };
    for (const Case &c : cases) {
        ClientRun run(c.host, c.core, c.content);
        ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
        run.take_all();
        EXPECT_EQ(run.last_result, KALMO_CLIENT_ENDED) << c.core;
        EXPECT_EQ(exit_of(run).exit.kind, KALMO_CLIENT_EXIT_CODE) << c.core;
        EXPECT_EQ(exit_of(run).exit.exit_code, c.code) << c.core;
        EXPECT_NE(exit_of(run).exit_meaning.find(c.meaning), std::string::npos) << exit_of(run).exit_meaning;
        EXPECT_EQ(run.states().back(), "error") << c.core;
        EXPECT_NE(std::string(kalmo_client_exit_meaning(c.code)).find(c.meaning), std::string::npos);
    }
    EXPECT_NE(std::string(kalmo_client_exit_meaning(77)).find("not an exit code of the host"), std::string::npos);
}

TEST(ClientSession, StopEndsAHostThatIgnoresQuitByForceAndSaysSo) {
    ClientRun run(fake_host(), "/fake/ignores_quit", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    kalmo_client_exit how = {};
    ASSERT_EQ(kalmo_client_stop(run.client, 300, &how), KALMO_CLIENT_OK);
    EXPECT_EQ(how.kind, KALMO_CLIENT_EXIT_TERMINATED);
    EXPECT_STREQ(how.meaning, "terminated by kalmo-client: it did not stop within 300 ms of QUIT");
    run.take_all();
    EXPECT_EQ(exit_of(run).exit.kind, KALMO_CLIENT_EXIT_TERMINATED);
    EXPECT_EQ(run.count_of(KALMO_CLIENT_EVENT_ERROR), 0u) << "a frame cut by our own kill is no stream error";
}

TEST(ClientSession, StopOfAHostThatHonoursQuitGivesItsOwnExit) {
    ClientRun run(host_path(), demo_core(), demo_content());
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    kalmo_client_exit how = {};
    ASSERT_EQ(kalmo_client_stop(run.client, 10000, &how), KALMO_CLIENT_OK);
    EXPECT_EQ(how.kind, KALMO_CLIENT_EXIT_CODE);
    EXPECT_EQ(how.exit_code, 0);
    run.take_all();
    EXPECT_EQ(run.states().back(), "stopped");
}

TEST(ClientSession, AHostKilledFromOutsideEndsTheSessionWithTheSignalInWords) {
    ClientRun run(host_path(), demo_core(), demo_content());
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    bool killed = false;
    run.take_all([&](const kalmo_client_event &event) {
        if (event.type == KALMO_CLIENT_EVENT_VIDEO && !killed)
            killed = kill(pid_t(kalmo_client_host_pid(run.client)), SIGKILL) == 0;
    });
    ASSERT_TRUE(killed);
    EXPECT_EQ(run.last_result, KALMO_CLIENT_ENDED);
    EXPECT_EQ(exit_of(run).exit.kind, KALMO_CLIENT_EXIT_SIGNAL);
    EXPECT_EQ(exit_of(run).exit.exit_code, SIGKILL);
    EXPECT_EQ(exit_of(run).exit_meaning, "ended by signal 9 (killed)");
    EXPECT_EQ(kalmo_client_send_quit(run.client), KALMO_CLIENT_HOST_GONE);
}

// The probe at 1000 frames a second sends 300 frames, each with a batch of
// 50 audio frames of its known sequence, to a reader taking 2 ms per event.
TEST(ClientSession, SlowReaderUnderLatestVideoGetsNewestFramesCountsTheRestAndLosesNoSound) {
    kalmo_test::ProbeWorkspace scripts;
    std::string content = scripts.write_file("slow_reader.scn",
                                             "[every_frame]\nvideo 1 64 48\nbatch 50\n[frame 300]\nshutdown\n");
    ClientRun run(host_path(), probe_core(), content, KALMO_CLIENT_VIDEO_LATEST, 8);
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    uint64_t dropped = 0;
    run.take_all([&](const kalmo_client_event &event) {
        if (event.type != KALMO_CLIENT_EVENT_VIDEO) return;
        dropped += event.dropped_frames;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    size_t taken = run.count_of(KALMO_CLIENT_EVENT_VIDEO);
    EXPECT_EQ(taken + dropped, 300u);
    EXPECT_GT(dropped, 0u) << "the reader was never behind";
    uint32_t index = 0;
    bool sequence_intact = true;
    for (const SeenEvent &event : run.events) {
        if (event.type != KALMO_CLIENT_EVENT_AUDIO) continue;
        for (uint32_t k = 0; k < event.frames; k++, index++)
            sequence_intact = sequence_intact && event.samples[k * 2] == probe_audio_left(index) &&
                              event.samples[k * 2 + 1] == probe_audio_right(index);
    }
    EXPECT_EQ(index, 300u * 50);
    EXPECT_TRUE(sequence_intact);
    EXPECT_EQ(exit_of(run).exit.exit_code, 0);
}

TEST(ClientSession, ADesynchronisedStreamEndsTheSessionWithAnErrorNamingItsOffset) {
    for (const char *mode : {"/fake/bad_magic", "/fake/bad_frame_size"}) {
        ClientRun run(fake_host(), mode, "none");
        ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
        run.take_all();
        const SeenEvent *frame = run.last_of(KALMO_CLIENT_EVENT_VIDEO);
        const SeenEvent *error = run.last_of(KALMO_CLIENT_EVENT_ERROR);
        ASSERT_NE(frame, nullptr) << mode;
        ASSERT_NE(error, nullptr) << mode;
        // The broken packet follows the 4x2 frame: 9 + 8 + 32 bytes on.
        uint64_t broken_at = frame->stream_offset + 9 + 8 + 4 * 2 * 4;
        EXPECT_EQ(error->stream_offset, broken_at) << mode;
        EXPECT_NE(error->text.find("stream offset " + std::to_string(broken_at)), std::string::npos) << error->text;
        EXPECT_EQ(exit_of(run).exit.kind, KALMO_CLIENT_EXIT_TERMINATED) << mode << ": the fake sleeps 30 s otherwise";
    }
}

TEST(ClientSession, WhatTheHostLeftHoldingItsPipesIsEndedSoTheExitStillComes) {
    ClientRun run(fake_host(), "/fake/leaves_helper", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    // The helper sleeps 30 s: a session waiting for it would time out here.
    run.take_all([](const kalmo_client_event &) {}, 20000);
    EXPECT_EQ(run.last_result, KALMO_CLIENT_ENDED);
    EXPECT_EQ(exit_of(run).exit_meaning, "exit code 0: the game ended (QUIT or the core's request)");
}

TEST(ClientSession, AHostEndingInsideAPacketIsReportedBeforeItsExit) {
    ClientRun run(fake_host(), "/fake/partial_frame", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    run.take_all();
    const SeenEvent *error = run.last_of(KALMO_CLIENT_EVENT_ERROR);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->text.find("ended inside a packet"), std::string::npos) << error->text;
    EXPECT_EQ(run.events.back().type, KALMO_CLIENT_EVENT_EXIT);
    EXPECT_EQ(exit_of(run).exit.exit_code, 0);
    EXPECT_EQ(exit_of(run).exit_meaning,
              "exit code 0 without the host's \"stopped\" message (ended from outside, or not a kalmo-host)");
}

TEST(ClientSession, CommandsOutOfRangeAreRefusedAndTheRestArriveAsOneLineEach) {
    ClientRun run(fake_host(), "/fake/echo_commands", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    kalmo_client *c = run.client;
    EXPECT_EQ(kalmo_client_send_mouse(c, 8, 1, 8, 0, 0, 0, 1), KALMO_CLIENT_INVALID);
    EXPECT_NE(std::string(kalmo_client_last_error(c)).find("buttons"), std::string::npos);
    EXPECT_EQ(kalmo_client_send_mouse(c, 8, 1, 1, 0, 0, 0, 2), KALMO_CLIENT_INVALID);
    EXPECT_EQ(kalmo_client_send_key(c, 70000, 1, 0, 0), KALMO_CLIENT_INVALID);
    EXPECT_EQ(kalmo_client_send_key(c, 65, 2, 0, 0), KALMO_CLIENT_INVALID);
    EXPECT_EQ(kalmo_client_send_key(c, 65, 1, 0xD800, 0), KALMO_CLIENT_INVALID);
    EXPECT_EQ(kalmo_client_send_key(c, 65, 1, 97, 0x10000), KALMO_CLIENT_INVALID);
    EXPECT_EQ(kalmo_client_send_mouse(c, -3, 4, 5, -1, 10, 20, 1), KALMO_CLIENT_OK);
    EXPECT_EQ(kalmo_client_send_key(c, 65, 1, 0x20AC, 3), KALMO_CLIENT_OK);
    EXPECT_EQ(kalmo_client_send_reset(c), KALMO_CLIENT_OK);
    EXPECT_EQ(kalmo_client_send_quit(c), KALMO_CLIENT_OK);
    run.take_all();
    std::vector<std::string> got;
    for (const std::string &line : run.diagnostics())
        if (line.rfind("GOT ", 0) == 0) got.push_back(line);
    EXPECT_EQ(got, (std::vector<std::string>{"GOT M -3 4 5 -1 10 20 1", "GOT K 65 1 8364 3", "GOT RESET", "GOT QUIT"}));
    EXPECT_EQ(exit_of(run).exit.exit_code, 0);
}

// Commands racing the host's exit meet a closed pipe; SIGPIPE's default
// action would end this test program.
TEST(ClientSession, CommandsToAHostThatHasGoneFailWithoutSignallingTheParent) {
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL) << "another part of the program already handles SIGPIPE";
    ClientRun run(fake_host(), "/fake/exits_2", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    kalmo_client_result result = KALMO_CLIENT_OK;
    for (int sent = 0; sent < 1000000 && result == KALMO_CLIENT_OK; sent++)
        result = kalmo_client_send_key(run.client, 65, sent & 1, 0, 0);
    EXPECT_EQ(result, KALMO_CLIENT_HOST_GONE);
    run.take_all();
    EXPECT_EQ(exit_of(run).exit.exit_code, 2);
}

// The C++ inside also passes on a tool's own line, but only as one line.
TEST(ClientSession, APassedOnLineStaysOneLine) {
    kalmo::client::SessionConfig config;
    config.host_program = fake_host();
    config.paths = {"/fake/echo_commands", "none", "/tmp", "/tmp", "/tmp", "/tmp"};
    std::string error;
    std::unique_ptr<kalmo::client::HostSession> session = kalmo::client::HostSession::start(config, error);
    ASSERT_TRUE(session) << error;
    EXPECT_EQ(session->send_line("M 1 2 0 0 0 0 1", error), kalmo::client::SendResult::kSent);
    EXPECT_EQ(session->send_line("K 1 1 0 0\nQUIT", error), kalmo::client::SendResult::kInvalid);
    EXPECT_EQ(session->send_line(std::string("RESET\0QUIT", 10), error), kalmo::client::SendResult::kInvalid);
    EXPECT_EQ(session->send_line("QUIT", error), kalmo::client::SendResult::kSent);
    std::vector<std::string> got;
    kalmo::client::Event event;
    while (session->next_event(event, 20000) == kalmo::client::EventQueue::kTaken)
        if (event.type == kalmo::client::EventType::kDiagnostic && event.text.rfind("GOT ", 0) == 0)
            got.push_back(event.text);
    EXPECT_EQ(got, (std::vector<std::string>{"GOT M 1 2 0 0 0 0 1", "GOT QUIT"}));
}

TEST(ClientSession, TheHostHoldsNoDescriptorOfItsParentBeyondItsThreePipes) {
    // Opened without close-on-exec, as careless application code would.
    int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    ClientRun run(fake_host(), "/fake/echo_commands", "none");
    ASSERT_EQ(run.started, KALMO_CLIENT_OK) << run.start_error;
    kalmo_client_send_quit(run.client);
    run.take_all();
    close(stray);
    std::string held;
    for (const SeenEvent &event : run.events)
        if (event.state == "descriptors") held = event.text;
    EXPECT_EQ(held, R"({"state":"descriptors","held":[]})");
}

TEST(ClientSession, AHostStartedFromAThreadThatEndedKeepsRunning) {
    kalmo_client *client = nullptr;
    kalmo_test::ProbeWorkspace workspace;
    std::vector<std::string> paths = workspace.host_arguments(demo_core(), demo_content());
    std::thread starter([&] {
        kalmo_client_config config;
        kalmo_client_config_init(&config);
        std::string host = host_path();
        config.host_program = host.c_str();
        for (size_t i = 0; i < 6; i++) config.paths[i] = paths[i].c_str();
        kalmo_client_start(&config, &client);
    });
    starter.join();
    ASSERT_GT(kalmo_client_host_pid(client), 0) << kalmo_client_last_error(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(kalmo_client_host_pid(client), 0) << "the host died with the thread that started it";
    kalmo_client_exit how = {};
    kalmo_client_stop(client, 10000, &how);
    EXPECT_EQ(how.kind, KALMO_CLIENT_EXIT_CODE);
    EXPECT_EQ(how.exit_code, 0);
    kalmo_client_close(client);
}

TEST(ClientSession, CallbacksGetEveryEventInOrderOnTheLibrarysOwnThread) {
    struct Seen {
        std::mutex lock;
        std::vector<int> types;
        std::thread::id thread;
        std::atomic<bool> exit_seen{false};
    } seen;
    kalmo_test::ProbeWorkspace workspace;
    std::vector<std::string> paths = workspace.host_arguments(probe_core(), scenario("refuse_content"));
    kalmo_client_config config;
    kalmo_client_config_init(&config);
    std::string host = host_path();
    config.host_program = host.c_str();
    for (size_t i = 0; i < 6; i++) config.paths[i] = paths[i].c_str();
    config.callback_user = &seen;
    config.callback = [](void *user, const kalmo_client_event *event) -> int {
        Seen *into = static_cast<Seen *>(user);
        std::lock_guard<std::mutex> hold(into->lock);
        into->types.push_back(event->type);
        into->thread = std::this_thread::get_id();
        if (event->type == KALMO_CLIENT_EVENT_EXIT) into->exit_seen = true;
        return 1;
    };
    kalmo_client *client = nullptr;
    ASSERT_EQ(kalmo_client_start(&config, &client), KALMO_CLIENT_OK) << kalmo_client_last_error(client);
    kalmo_client_event event;
    EXPECT_EQ(kalmo_client_next_event(client, 0, &event), KALMO_CLIENT_INVALID);
    for (int waited = 0; !seen.exit_seen && waited < 10000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kalmo_client_close(client);
    ASSERT_TRUE(seen.exit_seen);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(seen.types.back(), KALMO_CLIENT_EVENT_EXIT);
    EXPECT_EQ(std::count(seen.types.begin(), seen.types.end(), KALMO_CLIENT_EVENT_EXIT), 1);
    EXPECT_GT(std::count(seen.types.begin(), seen.types.end(), KALMO_CLIENT_EVENT_STATUS), 1);
}

TEST(ClientSession, StartFailuresAreResultsWithAReason) {
    ClientRun missing("/nowhere/kalmo-host", demo_core(), demo_content());
    EXPECT_EQ(missing.started, KALMO_CLIENT_START_FAILED);
    EXPECT_EQ(missing.start_error, "cannot run the host /nowhere/kalmo-host: No such file or directory");
    ClientRun not_a_program(demo_content(), demo_core(), demo_content());
    EXPECT_EQ(not_a_program.started, KALMO_CLIENT_START_FAILED);
    EXPECT_NE(not_a_program.start_error.find("Permission denied"), std::string::npos) << not_a_program.start_error;
    ClientRun bad_policy(host_path(), demo_core(), demo_content(), 7);
    EXPECT_EQ(bad_policy.started, KALMO_CLIENT_INVALID);
    EXPECT_EQ(bad_policy.start_error, "unknown video policy 7");

    kalmo_client_config config;
    kalmo_client_config_init(&config);
    std::string host = host_path();
    config.host_program = host.c_str();
    kalmo_client *client = nullptr;
    EXPECT_EQ(kalmo_client_start(&config, &client), KALMO_CLIENT_INVALID);
    EXPECT_STREQ(kalmo_client_last_error(client), "path 0 is missing");
    EXPECT_EQ(kalmo_client_send_quit(client), KALMO_CLIENT_INVALID) << "a handle whose start failed";
    kalmo_client_close(client);
    EXPECT_EQ(kalmo_client_send_quit(nullptr), KALMO_CLIENT_INVALID);
}

TEST(ClientSession, VersionIsTheRepositorysVersionFile) {
    std::ifstream file(KALMO_VERSION_FILE);
    std::string version;
    file >> version;
    EXPECT_EQ(kalmo_client_version(), version);
}

}  // namespace
}  // namespace client_test
