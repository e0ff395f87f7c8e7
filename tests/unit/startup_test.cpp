// Start-up on the fake platform: the command-line checks and their exit 2,
// the build line and "startup" stage first, the seven conversions in their
// order, the path error sent once with the clean-up, and the redirection of
// standard output to the NUL device.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core_services/environment.h"
#include "host/host_state.h"
#include "host/startup.h"
#include "parent_view.h"

namespace {

const char build_line[] = "HOST_BUILD=preview12-retromouse-reentry-resync-large-covers";
const char startup_stage[] = "{\"state\":\"stage\",\"stage\":\"startup\",\"message\":\"Demarrage du moteur KALMO natif...\"}";
const char argument_error[] = "{\"state\":\"error\",\"message\":\"Arguments du moteur KALMO invalides\"}";
const char path_error[] = "{\"state\":\"error\",\"message\":\"Conversion de chemin impossible\"}";

// Each path has its own length, and none has the length of "KALMO", so the
// sizes of the heap copies tell which entry was converted when.
std::vector<std::string> seven_entries(void) {
    return {"kalmo-host.exe", "c", "ga", "sys", "save", "assets", "playlist"};
}

const std::vector<size_t> conversion_sizes = {4, 5, 7, 2, 9, 6, 3};

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    void TearDown() override {
        // Hand back what a successful start-up keeps for the rest of the process.
        if (argument_vector) {
            try {
                exit_with_cleanup(0);
            } catch (const fake_exit &) {
            }
        }
        if (content_path) platform_heap_free(process_heap, content_path);
        content_path = nullptr;
    }

    // The exit code, or nothing when start-up went through.
    static std::optional<uint32_t> run_start_up(void) {
        try {
            start_up();
        } catch (const fake_exit &exit) {
            return exit.code;
        }
        return std::nullopt;
    }

    static std::vector<std::string> expected_paths_failure(void) { return {startup_stage, path_error}; }
};

TEST_F(StartUp, SevenEntriesAreAcceptedWithTheBuildLineAndStartupStageFirst) {
    fake.arguments = seven_entries();
    EXPECT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(status_messages(), std::vector<std::string>{startup_stage});
    EXPECT_EQ(fake.protocol.substr(0, 9 + sizeof startup_stage - 1), status_packet_bytes(startup_stage));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{build_line, "startup"}));
    EXPECT_TRUE(fake.exits.empty());
}

TEST_F(StartUp, EntriesAfterTheSeventhAreIgnored) {
    fake.arguments = seven_entries();
    fake.arguments.push_back("extra-one");
    fake.arguments.push_back("");
    EXPECT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(status_messages(), std::vector<std::string>{startup_stage});
    EXPECT_EQ(fake.allocation_sizes, conversion_sizes);
}

TEST_F(StartUp, PathsAreConvertedInTheOrderSystemSaveAssetsCorePlaylistUserContent) {
    fake.arguments = seven_entries();
    ASSERT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(fake.allocation_sizes, conversion_sizes);
    EXPECT_EQ(fake.frees, 0);
}

TEST_F(StartUp, ConvertedPathsAreWhatTheCoreIsGiven) {
    fake.arguments = {"host", "/cores/\xc3\xa9mu.so", "game", "/sys", "/save", "/assets", "/playlists"};
    ASSERT_EQ(run_start_up(), std::nullopt);
    const char *answer = nullptr;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY, &answer));
    EXPECT_STREQ(answer, "/sys");
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY, &answer));
    EXPECT_STREQ(answer, "/save");
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_CORE_ASSETS_DIRECTORY, &answer));
    EXPECT_STREQ(answer, "/assets");
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_LIBRETRO_PATH, &answer));
    EXPECT_STREQ(answer, "/cores/\xc3\xa9mu.so");
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY, &answer));
    EXPECT_STREQ(answer, "/playlists");
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_USERNAME, &answer));
    EXPECT_STREQ(answer, "KALMO");
}

TEST_F(StartUp, AnEmptyArgumentConvertsToAnEmptyStringAndPasses) {
    fake.arguments = seven_entries();
    fake.arguments[4] = "";
    EXPECT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(status_messages(), std::vector<std::string>{startup_stage});
    EXPECT_EQ(fake.allocation_sizes, (std::vector<size_t>{4, 1, 7, 2, 9, 6, 3}));
    const char *answer = nullptr;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY, &answer));
    EXPECT_STREQ(answer, "");
}

TEST_F(StartUp, StandardOutputIsPointedAtTheNulHandleWhilePacketsKeepTheSavedOutput) {
    fake.arguments = seven_entries();
    ASSERT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(fake.std_output_now, fake.null_device);
    EXPECT_EQ(protocol_output, fake.output);
    EXPECT_EQ(fake.sink, "");
    EXPECT_EQ(status_messages(), std::vector<std::string>{startup_stage});
}

TEST_F(StartUp, AnUnopenableNulDeviceLeavesStandardOutputAndClosesNothing) {
    fake.null_device_fails = true;
    fake.arguments = seven_entries();
    fake.unconvertible = {"assets"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.std_output_now, nullptr);
    EXPECT_TRUE(fake.closed.empty());
    EXPECT_EQ(status_messages(), expected_paths_failure());
}

TEST_F(StartUp, PacketsStillReachTheStartingOutputWhenTheNulDeviceFails) {
    fake.null_device_fails = true;
    fake.arguments = seven_entries();
    EXPECT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(fake.protocol, status_packet_bytes(startup_stage));
}

class BadCommandLine : public StartUp {};

TEST_F(BadCommandLine, FivePathsGiveOnlyTheArgumentErrorAndExitTwo) {
    fake.arguments = seven_entries();
    fake.arguments.pop_back();
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.protocol, status_packet_bytes(argument_error));
    EXPECT_EQ(fake.diagnostics, "");
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{2});
}

TEST_F(BadCommandLine, NothingIsConvertedOrReleased) {
    fake.arguments = {"kalmo-host.exe", "core.dll"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.allocations, 0);
    EXPECT_EQ(fake.frees, 0);
    EXPECT_EQ(fake.argument_vector_frees, 0);
    EXPECT_TRUE(fake.closed.empty());
}

TEST_F(BadCommandLine, AnEmptyCommandLineGivesTheArgumentError) {
    fake.arguments = {};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), std::vector<std::string>{argument_error});
    EXPECT_EQ(fake.diagnostics, "");
}

TEST_F(BadCommandLine, ACommandLineThatCannotBeSplitGivesTheArgumentError) {
    fake.arguments = seven_entries();
    fake.split_fails = true;
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.protocol, status_packet_bytes(argument_error));
    EXPECT_EQ(fake.diagnostics, "");
    EXPECT_EQ(fake.allocations, 0);
    EXPECT_EQ(fake.frees, 0);
    EXPECT_TRUE(fake.closed.empty());
}

class PathConversion : public StartUp {};

TEST_F(PathConversion, AnUnconvertiblePathGivesThePathErrorAndExitTwoThroughTheCleanUp) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"save"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), expected_paths_failure());
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{build_line, "startup"}));
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{2});
    EXPECT_EQ(fake.closed, std::vector<platform_handle>{fake.null_device});
    EXPECT_EQ(fake.argument_vector_frees, 1);
}

TEST_F(PathConversion, EveryConversionIsAttemptedAfterAFailureInOrder) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"sys"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.allocation_sizes, (std::vector<size_t>{5, 7, 2, 9, 6, 3}));
}

TEST_F(PathConversion, TheCleanUpReleasesEveryCopyButTheContentPath) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"sys"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(fake.allocations, 6);
    EXPECT_EQ(fake.frees, 5);
    EXPECT_EQ(system_directory, nullptr);
    EXPECT_EQ(save_directory, nullptr);
    EXPECT_EQ(core_assets_directory, nullptr);
    EXPECT_EQ(core_path, nullptr);
    EXPECT_EQ(playlist_directory, nullptr);
    EXPECT_EQ(user_name, nullptr);
}

TEST_F(PathConversion, AnUnconvertibleContentPathFailsLikeTheOthers) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"ga"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), expected_paths_failure());
    EXPECT_EQ(fake.allocations, 6);
    EXPECT_EQ(fake.frees, 6);
}

TEST_F(PathConversion, AnUnconvertibleCorePathOrPlaylistFailsLikeTheOthers) {
    for (const char *entry : {"c", "playlist", "assets"}) {
        reset_fake_host();
        fake.arguments = seven_entries();
        fake.unconvertible = {entry};
        EXPECT_EQ(run_start_up(), 2u) << entry;
        EXPECT_EQ(status_messages(), expected_paths_failure()) << entry;
        EXPECT_EQ(fake.frees, fake.allocations - 1) << entry;
        if (content_path) platform_heap_free(process_heap, content_path);
        content_path = nullptr;
    }
}

TEST_F(PathConversion, ThePathErrorIsSentOnceHoweverManyFail) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"c", "ga", "sys", "save", "assets", "playlist"};
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), expected_paths_failure());
    EXPECT_EQ(fake.allocation_sizes, std::vector<size_t>{6});
    EXPECT_EQ(fake.frees, 1);
    EXPECT_EQ(fake.closed, std::vector<platform_handle>{fake.null_device});
}

TEST_F(PathConversion, AnUnconvertibleUserNameIsNotAFailure) {
    fake.arguments = seven_entries();
    fake.unconvertible = {"KALMO"};
    EXPECT_EQ(run_start_up(), std::nullopt);
    EXPECT_EQ(status_messages(), std::vector<std::string>{startup_stage});
    const char *answer = "sentinel";
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_USERNAME, &answer));
    EXPECT_EQ(answer, nullptr);
}

TEST_F(PathConversion, AFailedAllocationCountsAsAnUnconvertiblePath) {
    fake.arguments = seven_entries();
    fake.failing_allocations = 1;
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), expected_paths_failure());
    EXPECT_EQ(fake.allocation_sizes, (std::vector<size_t>{5, 7, 2, 9, 6, 3}));
    EXPECT_EQ(fake.frees, 5);
    EXPECT_EQ(fake.closed, std::vector<platform_handle>{fake.null_device});
}

TEST_F(PathConversion, EveryAllocationFailingStillSendsThePathErrorOnce) {
    fake.arguments = seven_entries();
    fake.failing_allocations = 7;
    EXPECT_EQ(run_start_up(), 2u);
    EXPECT_EQ(status_messages(), expected_paths_failure());
    EXPECT_EQ(fake.allocations, 0);
    EXPECT_EQ(fake.frees, 0);
    EXPECT_EQ(fake.exits, std::vector<uint32_t>{2});
}

}  // namespace
