// Start-up as the parent sees it: the first packet and the first diagnostic
// line, the command-line checks, paths that are not ASCII, and a core that
// prints on standard output without disturbing the packet stream.
#include <gtest/gtest.h>

#include "scenario_run.h"

using namespace e2e;

namespace {

TEST(Startup, FirstPacketIsTheStartupStageAndFirstDiagnosticLineIsTheBuildLine) {
    ScenarioRun run = run_scenario("startup_minimal");
    ASSERT_TRUE(ended_with(run, 0));
    std::string first = status_packet(kStartupStage);
    EXPECT_EQ(run.host.process.out.substr(0, first.size()), first);
    std::string build_line = std::string(kBuildLine) + "\r\n";
    EXPECT_EQ(run.host.process.err.substr(0, build_line.size()), build_line);
    ASSERT_GE(run.diagnostics().size(), 2u);
    EXPECT_EQ(run.diagnostics()[1], "startup");
}

TEST(Startup, FivePathsGiveOnlyTheArgumentErrorExitTwoAndNoDiagnosticLine) {
    kalmo_test::ProbeWorkspace workspace;
    kalmo_test::RunOptions options;
    options.program = kHost;
    options.arguments = workspace.host_arguments(kProbeCore, workspace.write_file("game.scn", "record probe.rec\n"));
    options.arguments.pop_back();
    kalmo_test::ProcessResult result = kalmo_test::run_process(options);
    ASSERT_FALSE(result.timed_out) << kalmo_test::describe_end(result);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, status_packet(kArgumentsError));
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(workspace.record_lines().empty()) << "the core must not even be loaded";
}

TEST(Startup, NoArgumentsAtAllGiveTheSameArgumentError) {
    kalmo_test::RunOptions options;
    options.program = kHost;
    kalmo_test::ProcessResult result = kalmo_test::run_process(options);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, status_packet(kArgumentsError));
    EXPECT_EQ(result.err, "");
}

TEST(Startup, SeventhAndFurtherPathsAreIgnored) {
    ScenarioOptions options;
    options.extra_arguments = {"seventh", "an eighth one", ""};
    ScenarioRun run = run_scenario("startup_minimal", options);
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(run.statuses().back(), kStopped);
    EXPECT_NE(run.record_index("call load_game path=" + run.content + " data=null size=0 meta=null"), -1);
    EXPECT_EQ(run.record_with("call run ").size(), 1u);
}

TEST(Startup, NonAsciiPathsReachTheCoreAsUtf8Bytes) {
    ScenarioOptions options;
    options.folder_suffix = "-donn\xC3\xA9" "es-\xE6\x97\xA5\xE6\x9C\xAC";
    options.copy_core_in = true;
    ScenarioRun run = run_scenario("paths_utf8", options);
    ASSERT_TRUE(ended_with(run, 0));
    const kalmo_test::ProbeWorkspace &w = *run.workspace;
    std::string core = w.root() + "/probe-core" + options.folder_suffix + ".so";
    EXPECT_NE(index_of(run.diagnostics(), "path=" + run.content), -1);
    EXPECT_NE(run.record_index("call load_game path=" + run.content + " data=null size=0 meta=null"), -1);
    EXPECT_NE(run.record_index("env cmd=9 ret=1 value=" + w.system_directory()), -1);
    EXPECT_NE(run.record_index("env cmd=31 ret=1 value=" + w.save_directory()), -1);
    EXPECT_NE(run.record_index("env cmd=30 ret=1 value=" + w.assets_directory()), -1);
    EXPECT_NE(run.record_index("env cmd=19 ret=1 value=" + core), -1);
    EXPECT_NE(run.record_index("env cmd=79 ret=1 value=" + w.playlist_directory()), -1);
    EXPECT_NE(run.record_index("env cmd=38 ret=1 value=KALMO"), -1);
}

TEST(Startup, WhatTheCorePrintsOnStandardOutputNeverReachesThePacketStream) {
    ScenarioRun run = run_scenario("stdout_noise");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_EQ(run.record_with("stdout bytes=").size(), 9u) << "the probe printed from every call it got";
    EXPECT_EQ(run.host.process.out.find("NOISE"), std::string::npos);
    EXPECT_EQ(run.host.process.err.find("NOISE"), std::string::npos);
    std::vector<std::string> expected = {kStartupStage,     kLoadLibraryStage, kBindApiStage,
                                         kSystemInfoStage,  "{\"state\":\"core\",\"message\":\"probe 1.0 \xC2\xB7 API 1\"}",
                                         kCoreInitStage,    kLoadContentStage, R"({"state":"av","width":8,"height":4,"aspect":2.000})",
                                         kRunning,          kShutdown,         kStopped};
    EXPECT_EQ(run.statuses(), expected);
    EXPECT_EQ(run.host.stream.frames.size(), 3u);
    EXPECT_EQ(run.host.stream.packets.size(), expected.size() + 3);
}

}  // namespace
