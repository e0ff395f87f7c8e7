// Start-up and core binding on both builds: the command-line failure, the
// start-up order, non-ASCII paths and the three failing cores give the same
// packets, lines and exit codes under Wine as on Linux, and those are the
// exact ones the parent relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "both_builds.h"

namespace wine_parity {
namespace {

using kalmo_test::ProbeWorkspace;

const std::string kBuildLine = "HOST_BUILD=preview12-retromouse-reentry-resync-large-covers";
const std::string kStartupStage =
    R"(status {"state":"stage","stage":"startup","message":"Demarrage du moteur KALMO natif..."})";
const std::string kLoadLibraryStage =
    R"(status {"state":"stage","stage":"load-library","message":"Chargement du core Libretro natif..."})";
const std::string kBindApiStage =
    R"(status {"state":"stage","stage":"bind-api","message":"Connexion native a l API Libretro..."})";
const std::string kExportMissing = R"(status {"state":"error","message":"Export Libretro manquant"})";

const char *const kEntryPoints[16] = {
    "retro_set_environment", "retro_set_video_refresh", "retro_set_audio_sample",
    "retro_set_audio_sample_batch", "retro_set_input_poll", "retro_set_input_state",
    "retro_set_controller_port_device", "retro_init", "retro_deinit", "retro_api_version",
    "retro_get_system_info", "retro_get_system_av_info", "retro_load_game", "retro_unload_game",
    "retro_run", "retro_reset"};

std::filesystem::path scenario(const std::string &name) { return scenario_dir() / (name + ".scn"); }

// Both builds agree, and each shows `packets`, `lines` and `exit_code`.
void expect_both(const BothBuilds &both, int exit_code, const std::vector<std::string> &packets,
                 const std::vector<std::string> &lines) {
    expect_same_outcome(both.on_linux(), both.on_windows());
    for (const Outcome &outcome : both.outcome) {
        EXPECT_EQ(outcome.exit_code, exit_code) << outcome.build;
        EXPECT_EQ(outcome.packets, packets) << outcome.build;
        EXPECT_EQ(outcome.diagnostic_lines, lines) << outcome.build;
    }
}

class WineStartupParity : public WineTest {};

TEST_F(WineStartupParity, FivePathsGiveOnlyTheArgumentErrorAndExitTwoWithAnEmptyDiagnosticStream) {
    BothBuilds both = run_both_builds([](Build, const ProbeWorkspace &) {
        RunRequest request;
        for (const char *path : {"core", "content", "system", "save", "assets"})
            request.arguments.push_back(literal_argument(path));
        return request;
    });
    expect_both(both, 2, {R"(status {"state":"error","message":"Arguments du moteur KALMO invalides"})"}, {});
    for (const BuildRun &run : both.run) EXPECT_EQ(run.err, "") << build_name(run.build);
}

TEST_F(WineStartupParity, AMissingCoreLibraryGivesTheStartupStageFirstThenTheLoadErrorAndExitThree) {
    BothBuilds both = run_both_builds([](Build build, const ProbeWorkspace &workspace) {
        std::string missing = workspace.root() + (build == Build::kLinux ? "/no-core.so" : "/no-core.dll");
        RunRequest request = probe_request(build, workspace, "probe_core", scenario("startup_minimal"));
        request.arguments[0] = path_argument(missing, "<core>");
        return request;
    });
    expect_both(both, 3,
                {kStartupStage, kLoadLibraryStage,
                 R"(status {"state":"error","message":"Impossible de charger le core Libretro"})"},
                {kBuildLine, "startup", "load-library", "KALMO_STAGE=load-library"});
}

TEST_F(WineStartupParity, NonAsciiPathsReachTheCoreAsUtf8AndASeventhArgumentIsIgnored) {
    const std::string suffix = "-donn\xC3\xA9" "es-\xE6\x97\xA5\xE6\x9C\xAC";
    BothBuilds both = run_both_builds(
        [&](Build build, const ProbeWorkspace &workspace) {
            std::string core = workspace.copy_in(test_core(build, "probe_core").string(),
                                                 "probe-core" + suffix + (build == Build::kLinux ? ".so" : ".dll"));
            RunRequest request = probe_request(build, workspace, "probe_core", scenario("paths_utf8"));
            request.arguments[0] = path_argument(core, "<core>");
            request.arguments.push_back(literal_argument("seventh \xC3\xA9"));
            return request;
        },
        suffix);
    expect_same_outcome(both.on_linux(), both.on_windows());
    // A placeholder shows only where the build's own path came through
    // byte for byte, so these lines prove the UTF-8 on both builds.
    for (const Outcome &outcome : both.outcome) {
        EXPECT_EQ(outcome.exit_code, 0) << outcome.build;
        ASSERT_FALSE(outcome.packets.empty()) << outcome.build;
        EXPECT_EQ(outcome.packets[0], kStartupStage) << outcome.build;
        ASSERT_FALSE(outcome.diagnostic_lines.empty()) << outcome.build;
        EXPECT_EQ(outcome.diagnostic_lines[0], kBuildLine) << outcome.build;
        std::vector<std::string> content_block = {"CONTENT_BEGIN", "path=<content>", "CONTENT_END"};
        EXPECT_NE(std::search(outcome.diagnostic_lines.begin(), outcome.diagnostic_lines.end(),
                              content_block.begin(), content_block.end()),
                  outcome.diagnostic_lines.end())
            << outcome.build;
        for (const char *line : {"env cmd=9 ret=1 value=<system>", "env cmd=31 ret=1 value=<save>",
                                 "env cmd=30 ret=1 value=<assets>", "env cmd=19 ret=1 value=<core>",
                                 "env cmd=79 ret=1 value=<playlists>", "env cmd=38 ret=1 value=KALMO"})
            EXPECT_NE(std::find(outcome.record.begin(), outcome.record.end(), line), outcome.record.end())
                << outcome.build << " record lacks: " << line;
    }
}

// The content path is the one argument the host writes back, so it carries
// every character that the test parent's quoting must get right.
TEST_F(WineStartupParity, ContentPathsWithSpacesQuotesAndBackslashesReachTheHostUnchanged) {
    const std::string content = R"(dir with space\sub\\"quoted\" part\\)";
    BothBuilds both = run_both_builds([&](Build build, const ProbeWorkspace &workspace) {
        RunRequest request = probe_request(build, workspace, "probe_core", scenario("startup_minimal"), "QUIT");
        request.arguments[1] = literal_argument(content);
        return request;
    });
    expect_same_outcome(both.on_linux(), both.on_windows());
    for (const Outcome &outcome : both.outcome) {
        EXPECT_EQ(outcome.exit_code, 0) << outcome.build;
        EXPECT_NE(std::find(outcome.diagnostic_lines.begin(), outcome.diagnostic_lines.end(), "path=" + content),
                  outcome.diagnostic_lines.end())
            << outcome.build;
    }
}

TEST_F(WineStartupParity, ALibraryThatIsNotACoreGivesSixteenMissingNamesInOrderAndExitFour) {
    BothBuilds both = run_both_builds([](Build build, const ProbeWorkspace &workspace) {
        return probe_request(build, workspace, "not_a_core", scenario("startup_minimal"));
    });
    std::vector<std::string> packets = {kStartupStage, kLoadLibraryStage, kBindApiStage};
    std::vector<std::string> lines = {kBuildLine, "startup", "load-library", "bind-api"};
    for (const char *name : kEntryPoints) {
        packets.push_back(kExportMissing);
        lines.push_back(name);
    }
    expect_both(both, 4, packets, lines);
}

TEST_F(WineStartupParity, ACoreWithoutRetroResetGivesItsNameAloneAndExitFour) {
    BothBuilds both = run_both_builds([](Build build, const ProbeWorkspace &workspace) {
        return probe_request(build, workspace, "probe_core_no_reset", scenario("startup_minimal"));
    });
    expect_both(both, 4, {kStartupStage, kLoadLibraryStage, kBindApiStage, kExportMissing},
                {kBuildLine, "startup", "load-library", "bind-api", "retro_reset"});
}

}  // namespace
}  // namespace wine_parity
