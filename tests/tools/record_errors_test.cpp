// kalmo-record when things go wrong: missing inputs are named before
// anything starts, a malformed script line is pointed at, and a host that
// fails, stops inside a packet, is killed or ignores QUIT leaves the output
// written so far and a summary that says what happened.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_run.h"
#include "output_files.h"
#include "probe_workspace.h"

namespace {

namespace fs = std::filesystem;
using kalmo_tools_test::Json;

const std::string kRecorder = KALMO_RECORD_PATH;
const std::string kHost = KALMO_HOST_PATH;
const std::string kDemoCore = DEMO_CORE_PATH;
const std::string kDemoContent = DEMO_CONTENT_PATH;
const std::string kProbeCore = PROBE_CORE_PATH;
const std::string kNotACore = NOT_A_CORE_PATH;
const std::string kScenarios = PROBE_SCENARIO_DIR;
const std::string kFakeHost = std::string(TOOL_TEST_DIR) + "/fake_host.py";

struct Outcome {
    kalmo_test::ProcessResult process;
    Json summary;
    std::string folder;
};

Outcome record(const std::string &folder, std::vector<std::string> arguments) {
    kalmo_test::RunOptions options;
    options.program = kRecorder;
    options.arguments = std::move(arguments);
    options.arguments.insert(options.arguments.end(), {"--out", folder, "--quiet"});
    options.timeout_ms = 60000;
    Outcome outcome;
    outcome.folder = folder;
    outcome.process = kalmo_test::run_process(options);
    kalmo_tools_test::parse_json(kalmo_test::read_file(folder + "/summary.json"), outcome.summary);
    return outcome;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(RecorderInputs, AMissingHostCoreContentOrScriptIsNamedAndNothingStarts) {
    kalmo_test::ProbeWorkspace workspace;
    std::string absent = workspace.root() + "/absent";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--host", absent, "--core", kDemoCore, "--content", kDemoContent}, "host not found: " + absent},
        {{"--host", kHost, "--core", absent, "--content", kDemoContent}, "core not found: " + absent},
        {{"--host", kHost, "--core", kDemoCore, "--content", absent}, "content not found: " + absent},
        {{"--host", kHost, "--core", kDemoCore, "--content", kDemoContent, "--input", absent},
         "input script not found: " + absent},
        {{"--host", kDemoContent, "--core", kDemoCore, "--content", kDemoContent}, "host is not executable"},
    };
    for (const Case &c : cases) {
        std::string folder = workspace.root() + "/out";
        Outcome outcome = record(folder, c.arguments);
        EXPECT_EQ(outcome.process.exit_code, 2) << c.message;
        EXPECT_TRUE(contains(outcome.process.err, c.message)) << outcome.process.err;
        EXPECT_FALSE(fs::exists(folder)) << "nothing is written for " << c.message;
    }
}

TEST(RecorderInputs, AMalformedScriptLineIsReportedWithItsNumber) {
    kalmo_test::ProbeWorkspace workspace;
    std::string script = workspace.write_file("input.txt", "at frame 2: QUIT\n\nafter 3 frames: RESET\n");
    Outcome outcome = record(workspace.root() + "/out",
                             {"--host", kHost, "--core", kDemoCore, "--content", kDemoContent, "--input", script});
    EXPECT_EQ(outcome.process.exit_code, 2);
    EXPECT_TRUE(contains(outcome.process.err, "line 3:")) << outcome.process.err;
    EXPECT_TRUE(contains(outcome.process.err, "after 3 frames: RESET")) << outcome.process.err;
}

TEST(RecorderInputs, AMissingRequiredOptionOrABadNumberIsAUsageError) {
    kalmo_test::ProbeWorkspace workspace;
    Outcome no_content = record(workspace.root() + "/a", {"--core", kDemoCore});
    EXPECT_EQ(no_content.process.exit_code, 2);
    EXPECT_TRUE(contains(no_content.process.err, "--core, --content and --out are required"));
    Outcome bad_frames = record(workspace.root() + "/b",
                                {"--core", kDemoCore, "--content", kDemoContent, "--frames", "-4"});
    EXPECT_EQ(bad_frames.process.exit_code, 2);
    EXPECT_TRUE(contains(bad_frames.process.err, "--frames needs a whole number above 0"));
}

// The fake host's behaviour is chosen by the file name of its "core".
Outcome record_fake_host(const kalmo_test::ProbeWorkspace &workspace, const std::string &mode,
                         std::vector<std::string> extra = {}) {
    std::string core = workspace.write_file(mode, "");
    std::vector<std::string> arguments = {"--host", kFakeHost, "--core", core, "--content", kDemoContent};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return record(workspace.root() + "/out", arguments);
}

TEST(RecorderWithFailingHosts, AStreamCutInsideAPacketKeepsWhatCameAndSaysTheHostDied) {
    kalmo_test::ProbeWorkspace workspace;
    Outcome outcome = record_fake_host(workspace, "partial_frame");
    EXPECT_EQ(outcome.process.exit_code, 3);
    EXPECT_TRUE(contains(outcome.process.err, "died mid-stream")) << outcome.process.err;
    const Json &s = outcome.summary;
    EXPECT_EQ(s["ok"].boolean, false);
    EXPECT_TRUE(contains(s["result"].text, "died mid-stream")) << s["result"].text;
    EXPECT_TRUE(contains(s["result"].text, "ended inside a packet")) << s["result"].text;
    // Half of a 4x2 frame packet: (9 + 8 + 32) / 2 bytes.
    EXPECT_EQ(s["partial_packet_bytes"].number, 24);
    EXPECT_EQ(s["exit_code"].number, 0);
    EXPECT_EQ(s["video"]["frames"].number, 1);
    EXPECT_EQ(kalmo_test::read_lines(outcome.folder + "/status.jsonl").size(), 3u);
    kalmo_tools_test::Image frame;
    ASSERT_TRUE(kalmo_tools_test::read_png(outcome.folder + "/frames/frame_000001.png", frame));
    EXPECT_EQ(frame.width, 4u);
    EXPECT_EQ(frame.pixel(3, 1), 0x0AF540FFu);
    EXPECT_TRUE(fs::exists(outcome.folder + "/contact_sheet.png"));
    EXPECT_EQ(kalmo_test::read_file(outcome.folder + "/diagnostics.txt"), "HOST_BUILD=fake\r\n");
    EXPECT_TRUE(contains(kalmo_test::read_file(outcome.folder + "/summary.txt"), "the output written so far is kept"));
}

TEST(RecorderWithFailingHosts, AHostKilledBySignalIsReportedWithTheSignal) {
    kalmo_test::ProbeWorkspace workspace;
    Outcome outcome = record_fake_host(workspace, "killed");
    EXPECT_EQ(outcome.process.exit_code, 3);
    EXPECT_TRUE(contains(outcome.summary["result"].text, "died mid-stream (killed by signal 9)"))
        << outcome.summary["result"].text;
    EXPECT_TRUE(outcome.summary["exit_code"].is_null());
    EXPECT_EQ(outcome.summary["exit_signal"].number, 9);
    EXPECT_EQ(outcome.summary["killed_by_recorder"].boolean, false);
    EXPECT_EQ(outcome.summary["video"]["frames"].number, 1);
}

TEST(RecorderWithFailingHosts, AHostThatIgnoresQuitIsKilledAfterTheQuitTimeout) {
    kalmo_test::ProbeWorkspace workspace;
    Outcome outcome = record_fake_host(workspace, "ignores_quit", {"--frames", "3", "--quit-timeout", "1"});
    EXPECT_EQ(outcome.process.exit_code, 3);
    const Json &s = outcome.summary;
    EXPECT_EQ(s["quit_sent"].boolean, true);
    EXPECT_EQ(s["killed_by_recorder"].boolean, true);
    EXPECT_EQ(s["exit_signal"].number, 9);
    EXPECT_TRUE(contains(s["result"].text, "host killed")) << s["result"].text;
    EXPECT_GE(s["video"]["frames"].number, 3);
}

TEST(RecorderWithFailingHosts, AHostErrorIsReportedWithItsMessageAndExitCode) {
    kalmo_test::ProbeWorkspace workspace;
    Outcome missing_exports =
        record(workspace.root() + "/exports", {"--host", kHost, "--core", kNotACore, "--content", kDemoContent});
    EXPECT_EQ(missing_exports.process.exit_code, 3);
    EXPECT_EQ(missing_exports.summary["result"].text, "host failed: Export Libretro manquant (exit code 4)");
    EXPECT_EQ(missing_exports.summary["error_message"].text, "Export Libretro manquant");
    EXPECT_EQ(missing_exports.summary["video"]["frames"].number, 0);
    EXPECT_FALSE(fs::exists(missing_exports.folder + "/contact_sheet.png")) << "no frame, no sheet";

    std::string refusing = workspace.copy_in(kScenarios + "/refuse_content.scn", "refuse_content.scn");
    Outcome refused = record(workspace.root() + "/refused", {"--host", kHost, "--core", kProbeCore, "--content", refusing});
    EXPECT_EQ(refused.process.exit_code, 3);
    EXPECT_EQ(refused.summary["result"].text, "host failed: Le core a refuse le contenu (exit code 5)");
    EXPECT_EQ(refused.summary["exit_code"].number, 5);
    EXPECT_EQ(refused.summary["saw_running"].boolean, false);
}

}  // namespace
