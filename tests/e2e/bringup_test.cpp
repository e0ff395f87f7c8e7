// Bring-up of the core and its game, end to end: the stages, the "core"
// message for awkward names, the system-info and content blocks, the
// ScummVM controller port, a shutdown request during the content load, and
// what retro_game_info carries depending on need_fullpath.
#include <gtest/gtest.h>

#include <cstdio>

#include "probe_pattern.h"
#include "scenario_run.h"

using namespace e2e;

namespace {

std::string core_status(const std::string &message) {
    return "{\"state\":\"core\",\"message\":\"" + message + " \xC2\xB7 API 1\"}";
}

std::vector<std::string> registration_calls() {
    return {"call set_environment",     "call set_video_refresh", "call set_audio_sample",
            "call set_audio_sample_batch", "call set_input_poll", "call set_input_state"};
}

TEST(BringUp, ScummVMCoreGetsTheInputDeviceStageAndTheControllerPort) {
    ScenarioRun run = run_scenario("bringup_scummvm");
    ASSERT_TRUE(ended_with(run, 0));
    std::vector<std::string> statuses = {kStartupStage,
                                         kLoadLibraryStage,
                                         kBindApiStage,
                                         kSystemInfoStage,
                                         core_status("ScummVM"),
                                         kCoreInitStage,
                                         kInputDeviceStage,
                                         kLoadContentStage,
                                         R"({"state":"av","width":640,"height":480,"aspect":1.333})",
                                         kRunning,
                                         kShutdown,
                                         kStopped};
    EXPECT_EQ(run.statuses(), statuses);
    std::vector<std::string> lines = {kBuildLine,
                                      "startup",
                                      "load-library",
                                      "bind-api",
                                      "system-info",
                                      "SYSTEM_INFO_BEGIN",
                                      "library_name=ScummVM",
                                      "library_version=",
                                      "valid_extensions=scummvm",
                                      "need_fullpath=1 block_extract=0",
                                      "SYSTEM_INFO_END",
                                      "core-init",
                                      "ENV raw=15 cmd=15 count=1 GET_VARIABLE",
                                      "VAR key=scummvm_pointer_device value=mouse",
                                      "ENV raw=15 cmd=15 count=2 GET_VARIABLE",
                                      "VAR key=scummvm_samplerate value=48000 Hz",
                                      "input-device",
                                      kControllerPortLine,
                                      "CONTENT_BEGIN",
                                      "path=" + run.content,
                                      "CONTENT_END",
                                      "load-content",
                                      "LOAD_CONTENT_RETURN=1",
                                      "ENV raw=7 cmd=7 count=1 SHUTDOWN"};
    EXPECT_EQ(run.diagnostics(), lines);
    std::vector<std::string> calls = registration_calls();
    calls.insert(calls.end(), {"call get_system_info", "call api_version", "call init",
                               "variable key=scummvm_pointer_device ret=1 value=mouse",
                               "variable key=scummvm_samplerate ret=1 value=48000 Hz",
                               "call set_controller_port_device port=0 device=1",
                               "call load_game path=" + run.content + " data=null size=0 meta=null",
                               "call get_system_av_info", "call run frame=1"});
    ASSERT_GE(run.record.size(), calls.size());
    EXPECT_EQ(std::vector<std::string>(run.record.begin(), run.record.begin() + long(calls.size())), calls);
    std::vector<std::string> ending = {"shutdown frame=1 ret=1", "call unload_game", "call deinit"};
    EXPECT_EQ(std::vector<std::string>(run.record.end() - 3, run.record.end()), ending);
}

TEST(BringUp, OrdinaryCoreIsTracedCallByCallWithItsOptionsAndLog) {
    ScenarioRun run = run_scenario("bringup_plain");
    ASSERT_TRUE(ended_with(run, 0));
    std::vector<std::string> statuses = {kStartupStage,
                                         kLoadLibraryStage,
                                         kBindApiStage,
                                         kSystemInfoStage,
                                         core_status("probe 2.5 beta"),
                                         kCoreInitStage,
                                         kLoadContentStage,
                                         R"({"state":"geometry","width":320,"height":200})",
                                         R"({"state":"av","width":320,"height":200,"aspect":1.600})",
                                         kRunning,
                                         kShutdown,
                                         kStopped};
    EXPECT_EQ(run.statuses(), statuses);
    // A log text that ends with LF ends its line without CR, so the next
    // line joins it when the stream is cut at CR LF.
    std::vector<std::string> lines = {kBuildLine,
                                      "startup",
                                      "load-library",
                                      "bind-api",
                                      "ENV raw=3 cmd=3 count=1 GET_CAN_DUPE",
                                      "system-info",
                                      "ENV raw=18 cmd=18 count=1 SET_SUPPORT_NO_GAME",
                                      "SYSTEM_INFO_BEGIN",
                                      "library_name=probe",
                                      "library_version=2.5 beta",
                                      "valid_extensions=scn|txt",
                                      "need_fullpath=1 block_extract=1",
                                      "SYSTEM_INFO_END",
                                      "core-init",
                                      "ENV raw=27 cmd=27 count=1 GET_LOG_INTERFACE",
                                      "CORELOG level=1 | plain line\nCORELOG level=3 | no line break",
                                      "CORELOG level=2 | (empty)",
                                      "CORELOG level=2 | (empty)",
                                      "CORELOG level=0 | ends with crlf",
                                      "CORELOG level=0 | negative level",
                                      "CORELOG level=1 | a %d directive",
                                      "CORELOG level=1 | " + std::string(3000, 'L') +
                                          "\nENV raw=16 cmd=16 count=1 SET_VARIABLES",
                                      "CORE_VARIABLES_BEGIN",
                                      "VAR key=probe_speed value=Speed; slow|fast",
                                      "VAR key=probe_mode value=Mode; a|b|c",
                                      "CORE_VARIABLES_END",
                                      "ENV raw=15 cmd=15 count=1 GET_VARIABLE",
                                      "VAR key=scummvm_pointer_device value=mouse",
                                      "ENV raw=15 cmd=15 count=2 GET_VARIABLE",
                                      "VAR key=probe_speed value=<null>",
                                      "ENV raw=24 cmd=24 count=1 GET_INPUT_DEVICE_CAPABILITIES",
                                      "ENV raw=52 cmd=52 count=1 GET_CORE_OPTIONS_VERSION",
                                      "ENV raw=50 cmd=50 count=1 GET_TARGET_REFRESH_RATE",
                                      "ENV raw=61 cmd=61 count=1 GET_INPUT_MAX_USERS",
                                      "ENV raw=2 cmd=2 count=1 GET_OVERSCAN",
                                      "CONTENT_BEGIN",
                                      "path=" + run.content,
                                      "CONTENT_END",
                                      "load-content",
                                      "ENV raw=10 cmd=10 count=1 SET_PIXEL_FORMAT",
                                      "ENV raw=37 cmd=37 count=1 SET_GEOMETRY",
                                      "LOAD_CONTENT_RETURN=1",
                                      "ENV raw=7 cmd=7 count=1 SHUTDOWN"};
    EXPECT_EQ(run.diagnostics(), lines);
    std::vector<std::string> calls = registration_calls();
    calls.insert(calls.begin() + 1, "env cmd=3 ret=1 value=1");
    calls.insert(calls.end(), {"call get_system_info", "env cmd=18 ret=1", "call api_version", "call init",
                               "log_interface ret=1 given=1"});
    ASSERT_GE(run.record.size(), calls.size());
    EXPECT_EQ(std::vector<std::string>(run.record.begin(), run.record.begin() + long(calls.size())), calls);
    for (const char *answer : {"set_variables count=2 ret=1", "variable key=scummvm_pointer_device ret=1 value=mouse",
                               "variable key=probe_speed ret=0 value=<null>", "env cmd=24 ret=1 value=110",
                               "env cmd=52 ret=1 value=0", "env cmd=50 ret=1 value_milli=60000",
                               "env cmd=61 ret=1 value=1", "env cmd=2 ret=1 value=0", "pixel_format value=1 ret=1",
                               "env cmd=37 ret=1"})
        EXPECT_NE(run.record_index(answer), -1) << answer;
    EXPECT_EQ(run.record_index("call set_controller_port_device "), -1);
}

struct NameCase {
    const char *scenario;
    std::string message;       // inside the "core" status message
    std::string name_line;     // in the system-info block
    std::string version_line;
};

void PrintTo(const NameCase &c, std::ostream *out) { *out << c.scenario; }

class CoreMessage : public ::testing::TestWithParam<NameCase> {};

TEST_P(CoreMessage, NamesTheCoreAsReportedAndTheBlockCopiesItRaw) {
    const NameCase &c = GetParam();
    ScenarioRun run = run_scenario(c.scenario);
    ASSERT_TRUE(ended_with(run, 0));
    ASSERT_GE(run.statuses().size(), 5u);
    EXPECT_EQ(run.statuses()[4], core_status(c.message));
    int block = index_of(run.diagnostics(), "SYSTEM_INFO_BEGIN");
    ASSERT_NE(block, -1);
    EXPECT_EQ(run.diagnostics()[size_t(block) + 1], c.name_line);
    EXPECT_EQ(run.diagnostics()[size_t(block) + 2], c.version_line);
    EXPECT_EQ(index_of(run.statuses(), kInputDeviceStage), -1);
}

INSTANTIATE_TEST_SUITE_P(
    AwkwardNames, CoreMessage,
    ::testing::Values(NameCase{"name_null", "Libretro 3", "library_name=", "library_version=3"},
                      NameCase{"name_empty", " 1.0", "library_name=", "library_version=1.0"},
                      NameCase{"name_long", std::string(403, 'n') + " 1.0", "library_name=" + std::string(500, 'n'),
                               "library_version=1.0"},
                      NameCase{"name_quote", "Say \\\"hi\\\" \\\\ there v\\\"2\\\\", "library_name=Say \"hi\" \\ there",
                               "library_version=v\"2\\"}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return std::string(info.param.scenario); });

TEST(BringUp, NamesThatOnlyResembleScummVMGetNoControllerPort) {
    for (const char *scenario : {"name_scummvm_lowercase", "name_scummvm_prefix"}) {
        SCOPED_TRACE(scenario);
        ScenarioRun run = run_scenario(scenario);
        ASSERT_TRUE(ended_with(run, 0));
        EXPECT_EQ(index_of(run.statuses(), kInputDeviceStage), -1);
        EXPECT_EQ(index_of(run.diagnostics(), "input-device"), -1);
        EXPECT_EQ(index_of(run.diagnostics(), kControllerPortLine), -1);
        EXPECT_EQ(run.record_index("call set_controller_port_device "), -1);
    }
}

TEST(BringUp, ShutdownDuringContentLoadSkipsEveryRunButStillReportsRunningAndStopped) {
    ScenarioRun run = run_scenario("shutdown_in_load_game");
    ASSERT_TRUE(ended_with(run, 0));
    std::vector<std::string> tail = {kLoadContentStage, kShutdown, R"({"state":"av","width":320,"height":240,"aspect":1.333})",
                                     kRunning, kStopped};
    ASSERT_GE(run.statuses().size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(run.statuses().end() - long(tail.size()), run.statuses().end()), tail);
    EXPECT_EQ(run.record_with("call run ").size(), 0u);
    EXPECT_EQ(run.record_index("mark run_should_not_happen"), -1);
    std::vector<std::string> ending = {"shutdown frame=0 ret=1", "call get_system_av_info", "call unload_game",
                                       "call deinit"};
    ASSERT_GE(run.record.size(), ending.size());
    EXPECT_EQ(std::vector<std::string>(run.record.end() - 4, run.record.end()), ending);
}

TEST(BringUp, CoreNotNeedingAFullPathGetsTheContentBytesWithThePath) {
    ScenarioRun run = run_scenario("content_bytes");
    ASSERT_TRUE(ended_with(run, 0));
    std::string bytes = kalmo_test::read_file(run.content);
    ASSERT_FALSE(bytes.empty());
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", (unsigned long long)probe_hash(bytes.data(), bytes.size()));
    std::string size = std::to_string(bytes.size());
    EXPECT_NE(run.record_index("call load_game path=" + run.content + " data=present size=" + size + " meta=null"), -1);
    EXPECT_NE(run.record_index("content size=" + size + " hash=" + hash + " file_size=" + size + " file_hash=" + hash),
              -1);
    EXPECT_NE(index_of(run.diagnostics(), "need_fullpath=0 block_extract=0"), -1);
    EXPECT_NE(index_of(run.diagnostics(), "path=" + run.content), -1);
}

TEST(BringUp, CoreNeedingAFullPathGetsThePathAlone) {
    ScenarioRun run = run_scenario("content_path_only");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_NE(run.record_index("call load_game path=" + run.content + " data=null size=0 meta=null"), -1);
    EXPECT_EQ(run.record_with("content ").size(), 0u);
}

}  // namespace
