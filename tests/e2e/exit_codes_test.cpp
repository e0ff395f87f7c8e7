// Every way start-up can fail, each with its exit code, its status messages
// and its diagnostic lines: a core that does not load (3), missing entry
// points (4) and refused content (5).
#include <gtest/gtest.h>

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
