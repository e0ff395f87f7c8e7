// The host given something that is not a Libretro core: a real system
// library without a single retro_ export, a path to nothing, and a file of
// garbage. Each must end early with its own exit code and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_run.h"

namespace {

using kalmo_test::HostRun;

// No command input: each of these runs ends before the host reads any.
HostRun run_with_core(const std::string &core) {
    std::string folder = std::string(KALMO_SCRATCH_DIR) + "/not_a_core";
    std::filesystem::create_directories(folder);
    kalmo_test::RunOptions options;
    options.program = KALMO_HOST_PATH;
    options.arguments = {core, std::string(KALMO_ROM_DIR) + "/kalmo_test.nes", folder, folder, folder, folder};
    options.timeout_ms = 10000;
    return kalmo_test::run_host(options);
}

void expect_library_load_failure(const HostRun &run) {
    EXPECT_FALSE(run.process.timed_out);
    EXPECT_EQ(run.stream.error, "");
    std::vector<std::string> expected = {
        R"({"state":"stage","stage":"startup","message":"Demarrage du moteur KALMO natif..."})",
        R"({"state":"stage","stage":"load-library","message":"Chargement du core Libretro natif..."})",
        R"({"state":"error","message":"Impossible de charger le core Libretro"})"};
    EXPECT_EQ(run.stream.statuses, expected);
    const std::vector<std::string> &lines = run.diagnostics;
    ASSERT_GE(lines.size(), 2u) << run.process.err;
    EXPECT_EQ(lines.back(), "KALMO_STAGE=load-library");
    EXPECT_EQ(lines[lines.size() - 2], "load-library");
    EXPECT_EQ(run.process.exit_code, 3) << kalmo_test::describe_end(run.process);
}

TEST(HostWithoutACore, ASystemLibraryNamesAllSixteenMissingEntryPointsAndExitsWithFour) {
    ASSERT_TRUE(std::filesystem::exists(KALMO_SYSTEM_LIBRARY)) << KALMO_SYSTEM_LIBRARY;
    HostRun run = run_with_core(KALMO_SYSTEM_LIBRARY);
    EXPECT_FALSE(run.process.timed_out);
    EXPECT_EQ(run.stream.error, "");

    const std::vector<std::string> entry_points = {
        "retro_set_environment",  "retro_set_video_refresh",          "retro_set_audio_sample",
        "retro_set_audio_sample_batch", "retro_set_input_poll",       "retro_set_input_state",
        "retro_set_controller_port_device", "retro_init",             "retro_deinit",
        "retro_api_version",      "retro_get_system_info",            "retro_get_system_av_info",
        "retro_load_game",        "retro_unload_game",                "retro_run",
        "retro_reset"};
    const std::vector<std::string> &lines = run.diagnostics;
    auto bind = std::find(lines.begin(), lines.end(), "bind-api");
    ASSERT_NE(bind, lines.end()) << run.process.err;
    EXPECT_EQ(std::vector<std::string>(bind + 1, lines.end()), entry_points);

    const std::vector<std::string> &statuses = run.stream.statuses;
    ASSERT_EQ(statuses.size(), 3u + 16u);
    EXPECT_EQ(statuses[2], R"({"state":"stage","stage":"bind-api","message":"Connexion native a l API Libretro..."})");
    for (size_t i = 3; i < statuses.size(); i++)
        EXPECT_EQ(statuses[i], R"({"state":"error","message":"Export Libretro manquant"})") << "status " << i;
    EXPECT_EQ(run.process.exit_code, 4) << kalmo_test::describe_end(run.process);
}

TEST(HostWithoutACore, AMissingCoreFileStopsAtLoadLibraryWithExitThree) {
    std::string missing = std::string(KALMO_SCRATCH_DIR) + "/no_such_core.so";
    std::filesystem::remove(missing);
    expect_library_load_failure(run_with_core(missing));
}

TEST(HostWithoutACore, AFileOfGarbageStopsAtLoadLibraryWithExitThree) {
    std::string garbage = std::string(KALMO_SCRATCH_DIR) + "/garbage_core.so";
    std::filesystem::create_directories(KALMO_SCRATCH_DIR);
    std::ofstream out(garbage, std::ios::binary | std::ios::trunc);
    // Bytes from a fixed linear congruential sequence: the same garbage each run.
    uint32_t state = 12345;
    for (int i = 0; i < 8192; i++) {
        state = state * 1103515245u + 12345u;
        out.put(char(state >> 24));
    }
    out.close();
    expect_library_load_failure(run_with_core(garbage));
}

}  // namespace
