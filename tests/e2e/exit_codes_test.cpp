// Every way start-up can fail, each with its exit code, its status messages
// and its diagnostic lines: a core that does not load (3), missing entry
// points (4) and refused content (5).
#include <gtest/gtest.h>

#include <algorithm>

#include "scenario_run.h"

using namespace e2e;

namespace {

const char *const kEntryPoints[16] = {
    "retro_set_environment",       "retro_set_video_refresh",  "retro_set_audio_sample",
    "retro_set_audio_sample_batch", "retro_set_input_poll",    "retro_set_input_state",
    "retro_set_controller_port_device", "retro_init",          "retro_deinit",
    "retro_api_version",           "retro_get_system_info",    "retro_get_system_av_info",
    "retro_load_game",             "retro_unload_game",        "retro_run",
    "retro_reset",
};

// The host's two streams on one pipe, cut into "status TEXT" for each
// packet and "line TEXT" for each diagnostic line, in the order written.
std::vector<std::string> interleaved(const std::string &bytes) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.compare(at, 4, "KLMP") == 0 && at + 9 <= bytes.size()) {
            size_t length = 0;
            for (int i = 3; i >= 0; i--) length = length << 8 | uint8_t(bytes[at + 5 + size_t(i)]);
            kalmo::StreamDecoder decoder;
            decoder.feed(bytes.data() + at, std::min(bytes.size() - at, 9 + length));
            kalmo::Packet packet;
            if (!decoder.next(packet)) {
                items.push_back("broken packet");
                break;
            }
            items.push_back("status " + kalmo::status_text(packet));
            at += 9 + length;
            continue;
        }
        size_t end = bytes.find("\r\n", at);
        items.push_back("line " + bytes.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? bytes.size() : end + 2;
    }
    return items;
}

void expect_load_failure(const ScenarioRun &run) {
    EXPECT_TRUE(ended_with(run, 3));
    std::vector<std::string> statuses = {kStartupStage, kLoadLibraryStage, kLibraryError};
    EXPECT_EQ(run.statuses(), statuses);
    std::vector<std::string> lines = {kBuildLine, "startup", "load-library", "KALMO_STAGE=load-library"};
    EXPECT_EQ(run.diagnostics(), lines);
    EXPECT_EQ(run.host.process.err.substr(run.host.process.err.size() - 2), "\r\n");
}

TEST(ExitCodes, MissingCoreFileExitsThreeAfterTheLoadError) {
    ScenarioOptions options;
    options.core = "/nonexistent/kalmo/no-such-core.so";
    expect_load_failure(run_scenario("startup_minimal", options));
}

TEST(ExitCodes, FileThatIsNotALibraryExitsThree) {
    ScenarioOptions options;
    options.core = kScenarioDir + "/startup_minimal.scn";
    expect_load_failure(run_scenario("startup_minimal", options));
}

TEST(ExitCodes, LibraryWithoutAnyEntryPointNamesAllSixteenInOrderAndExitsFour) {
    ScenarioOptions options;
    options.core = kNotACore;
    ScenarioRun run = run_scenario("startup_minimal", options);
    ASSERT_TRUE(ended_with(run, 4));
    std::vector<std::string> statuses = {kStartupStage, kLoadLibraryStage, kBindApiStage};
    std::vector<std::string> lines = {kBuildLine, "startup", "load-library", "bind-api"};
    for (const char *name : kEntryPoints) {
        statuses.push_back(kExportMissingError);
        lines.push_back(name);
    }
    EXPECT_EQ(run.statuses(), statuses);
    EXPECT_EQ(run.diagnostics(), lines);
}

TEST(ExitCodes, EachMissingNameIsWrittenJustBeforeItsErrorMessage) {
    kalmo_test::ProbeWorkspace workspace;
    kalmo_test::RunOptions options;
    options.program = kHost;
    options.arguments = workspace.host_arguments(kNotACore, workspace.write_file("game.scn", ""));
    options.share_output_pipe = true;
    kalmo_test::ProcessResult result = kalmo_test::run_process(options);
    ASSERT_EQ(result.exit_code, 4) << kalmo_test::describe_end(result);
    // Each stage message goes out before its stage-name line.
    std::vector<std::string> expected = {std::string("line ") + kBuildLine,
                                         std::string("status ") + kStartupStage,
                                         "line startup",
                                         std::string("status ") + kLoadLibraryStage,
                                         "line load-library",
                                         std::string("status ") + kBindApiStage,
                                         "line bind-api"};
    for (const char *name : kEntryPoints) {
        expected.push_back(std::string("line ") + name);
        expected.push_back(std::string("status ") + kExportMissingError);
    }
    EXPECT_EQ(interleaved(result.out), expected);
}

TEST(ExitCodes, CoreLackingOnlyRetroResetStillExitsFourBeforeAnyCallIntoIt) {
    ScenarioOptions options;
    options.core = kProbeCoreNoReset;
    ScenarioRun run = run_scenario("startup_minimal", options);
    ASSERT_TRUE(ended_with(run, 4));
    std::vector<std::string> statuses = {kStartupStage, kLoadLibraryStage, kBindApiStage, kExportMissingError};
    std::vector<std::string> lines = {kBuildLine, "startup", "load-library", "bind-api", "retro_reset"};
    EXPECT_EQ(run.statuses(), statuses);
    EXPECT_EQ(run.diagnostics(), lines);
    EXPECT_TRUE(run.record.empty()) << "retro_set_environment must not be called when binding fails";
}

TEST(ExitCodes, RefusedContentExitsFiveAfterDeinitialisingTheCore) {
    ScenarioRun run = run_scenario("refuse_content");
    ASSERT_TRUE(ended_with(run, 5));
    std::vector<std::string> statuses = {kStartupStage,
                                         kLoadLibraryStage,
                                         kBindApiStage,
                                         kSystemInfoStage,
                                         "{\"state\":\"core\",\"message\":\"probe 1.0 \xC2\xB7 API 1\"}",
                                         kCoreInitStage,
                                         kLoadContentStage,
                                         kContentRefusedError};
    EXPECT_EQ(run.statuses(), statuses);
    std::vector<std::string> tail = {"CONTENT_BEGIN", "path=" + run.content, "CONTENT_END", "load-content",
                                     "LOAD_CONTENT_RETURN=0", "KALMO_STAGE=load-content"};
    ASSERT_GE(run.diagnostics().size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(run.diagnostics().end() - long(tail.size()), run.diagnostics().end()), tail);
    ASSERT_GE(run.record.size(), 3u);
    EXPECT_EQ(run.record[run.record.size() - 3], "call load_game path=" + run.content + " data=null size=0 meta=null");
    EXPECT_EQ(run.record[run.record.size() - 2], "mark refusing");
    EXPECT_EQ(run.record.back(), "call deinit");
    EXPECT_EQ(run.record_index("call get_system_av_info"), -1);
    EXPECT_EQ(run.record_index("call unload_game"), -1);
}

}  // namespace
