// The environment callback: the ENV trace line and its per-code filter, the
// dispatch on the low 16 bits, the fixed answers written only through a
// given pointer and exactly as wide as their type, the settings it records,
// and the status messages it sends for the picture size and shutdown.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core_services/core_log.h"
#include "core_services/environment.h"
#include "host/host_state.h"
#include "host/startup.h"
#include "parent_view.h"
#include "video/video_output.h"

namespace {

const std::map<unsigned, std::string> command_names = {
    {2, "GET_OVERSCAN"},
    {3, "GET_CAN_DUPE"},
    {7, "SHUTDOWN"},
    {9, "GET_SYSTEM_DIRECTORY"},
    {10, "SET_PIXEL_FORMAT"},
    {11, "SET_INPUT_DESCRIPTORS"},
    {12, "SET_KEYBOARD_CALLBACK"},
    {14, "SET_HW_RENDER"},
    {15, "GET_VARIABLE"},
    {16, "SET_VARIABLES"},
    {17, "GET_VARIABLE_UPDATE"},
    {18, "SET_SUPPORT_NO_GAME"},
    {19, "GET_LIBRETRO_PATH"},
    {24, "GET_INPUT_DEVICE_CAPABILITIES"},
    {27, "GET_LOG_INTERFACE"},
    {30, "GET_CORE_ASSETS_DIRECTORY"},
    {31, "GET_SAVE_DIRECTORY"},
    {32, "SET_SYSTEM_AV_INFO"},
    {35, "SET_CONTROLLER_INFO"},
    {37, "SET_GEOMETRY"},
    {38, "GET_USERNAME"},
    {39, "GET_LANGUAGE"},
    {45, "GET_VFS_INTERFACE"},
    {47, "GET_AUDIO_VIDEO_ENABLE"},
    {48, "GET_MIDI_INTERFACE"},
    {49, "GET_FASTFORWARDING"},
    {50, "GET_TARGET_REFRESH_RATE"},
    {51, "GET_INPUT_BITMASKS"},
    {52, "GET_CORE_OPTIONS_VERSION"},
    {53, "SET_CORE_OPTIONS"},
    {54, "SET_CORE_OPTIONS_INTL"},
    {61, "GET_INPUT_MAX_USERS"},
    {67, "SET_CORE_OPTIONS_V2"},
    {68, "SET_CORE_OPTIONS_V2_INTL"},
    {79, "GET_PLAYLIST_DIRECTORY"},
};

// Codes the host handles; with a null pointer all but 10, 15 and 27 still answer true.
const std::set<unsigned> handled_codes = {1,  2,  3,  7,  8,  9,  10, 11, 12, 15, 16, 17, 18, 19, 24, 27, 30,
                                          31, 32, 35, 36, 37, 38, 39, 42, 47, 49, 50, 52, 61, 79};

std::string name_of(unsigned code) {
    auto found = command_names.find(code);
    return found == command_names.end() ? "UNKNOWN" : found->second;
}

std::string trace_line(unsigned raw, unsigned code, unsigned count) {
    return "ENV raw=" + std::to_string(raw) + " cmd=" + std::to_string(code) + " count=" + std::to_string(count) +
           " " + name_of(code);
}

class EnvironmentCallback : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_host();
        fake.arguments = {"kalmo-host", "/cores/scummvm.so", "/games/sky.scummvm", "/system",
                          "/saves",     "/assets",           "/playlists"};
        start_up();
        forget_output();
    }

    void TearDown() override { release_start_up(); }

    // Hands back the copies start-up made, as the host's exit would.
    static void release_start_up(void) {
        try {
            exit_with_cleanup(0);
        } catch (const fake_exit &) {
        }
        if (content_path) platform_heap_free(process_heap, content_path);
        content_path = nullptr;
    }

    // Sends one 1x1 RGB565-green pixel as a frame; its red byte tells how it was read.
    static uint32_t frame_pixel_of_green565(void) {
        forget_output();
        uint8_t pixel[4] = {0xE0, 0x07, 0xE0, 0x07};
        video_refresh(pixel, 1, 1, 4);
        kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
        EXPECT_EQ(stream.error, "");
        EXPECT_EQ(stream.frames.size(), 1u);
        return stream.frames.empty() ? 0 : stream.frames[0].pixel(0, 0);
    }
};

TEST_F(EnvironmentCallback, TheTraceLineNamesRawNumberCodeCountAndCommand) {
    retro_variable query = {"scummvm_pointer_device", nullptr};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_VARIABLE, &query));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"ENV raw=15 cmd=15 count=1 GET_VARIABLE",
                                                             "VAR key=scummvm_pointer_device value=mouse"}));
}

TEST_F(EnvironmentCallback, EveryCodeIsTracedWithItsNameAndAnsweredAsTheTableSays) {
    for (unsigned code = 0; code <= 300; code++) {
        forget_output();
        bool result = environment_callback(code, nullptr);
        bool expected = handled_codes.count(code) && code != 10 && code != 15 && code != 27;
        EXPECT_EQ(result, expected) << "code " << code;
        std::vector<std::string> lines = diagnostic_lines();
        ASSERT_FALSE(lines.empty()) << "code " << code;
        EXPECT_EQ(lines[0], trace_line(code, code, 1));
        EXPECT_EQ(lines.size(), 1u) << "code " << code;
    }
}

TEST_F(EnvironmentCallback, RefusedCommandsAnswerFalseAndLeaveTheirDataAlone) {
    for (unsigned code = 0; code <= 300; code++) {
        if (handled_codes.count(code)) continue;
        uint8_t data[64];
        std::memset(data, 0xAA, sizeof data);
        EXPECT_FALSE(environment_callback(code, data)) << "code " << code;
        for (uint8_t byte : data) ASSERT_EQ(byte, 0xAA) << "code " << code;
    }
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(EnvironmentCallback, TheExperimentalFlagIsIgnoredForDispatchAndCountedOnThePlainCode) {
    uint32_t format = RETRO_PIXEL_FORMAT_RGB565;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT | RETRO_ENVIRONMENT_EXPERIMENTAL, &format));
    EXPECT_EQ(pixel_format, (uint32_t)RETRO_PIXEL_FORMAT_RGB565);
    format = RETRO_PIXEL_FORMAT_XRGB8888;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"ENV raw=65546 cmd=10 count=1 SET_PIXEL_FORMAT",
                                                             "ENV raw=10 cmd=10 count=2 SET_PIXEL_FORMAT"}));
}

TEST_F(EnvironmentCallback, AnyFlagInTheUpperHalfIsIgnored) {
    bool answer = false;
    EXPECT_TRUE(environment_callback(0xABCD0000u | RETRO_ENVIRONMENT_GET_CAN_DUPE, &answer));
    EXPECT_TRUE(answer);
    EXPECT_FALSE(environment_callback(51 | RETRO_ENVIRONMENT_EXPERIMENTAL, nullptr));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"ENV raw=2882338819 cmd=3 count=1 GET_CAN_DUPE",
                                                             "ENV raw=65587 cmd=51 count=1 GET_INPUT_BITMASKS"}));
}

TEST_F(EnvironmentCallback, CodesAbove255AreTracedOnEveryCallWithCountOne) {
    for (int i = 0; i < 60; i++) EXPECT_FALSE(environment_callback(256, nullptr));
    std::vector<std::string> lines = diagnostic_lines();
    EXPECT_EQ(lines, std::vector<std::string>(60, "ENV raw=256 cmd=256 count=1 UNKNOWN"));
}

TEST_F(EnvironmentCallback, CodesAbove255KeepCountOneWhateverTheirFlags) {
    EXPECT_FALSE(environment_callback(0x10100u, nullptr));
    EXPECT_FALSE(environment_callback(0xFFFFFFFFu, nullptr));
    EXPECT_FALSE(environment_callback(0xFFFFFFFFu, nullptr));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"ENV raw=65792 cmd=256 count=1 UNKNOWN",
                                                             "ENV raw=4294967295 cmd=65535 count=1 UNKNOWN",
                                                             "ENV raw=4294967295 cmd=65535 count=1 UNKNOWN"}));
}

TEST_F(EnvironmentCallback, CodeZeroIsRefusedAndTracedAsUnknownOnItsFirstSixCalls) {
    for (int i = 0; i < 7; i++) EXPECT_FALSE(environment_callback(0, nullptr));
    std::vector<std::string> expected;
    for (unsigned count = 1; count <= 6; count++) expected.push_back(trace_line(0, 0, count));
    EXPECT_EQ(diagnostic_lines(), expected);
}

TEST_F(EnvironmentCallback, ACommandIsTracedOnCalls1To6Then50ThenEveryThousandth) {
    std::vector<unsigned> traced;
    for (unsigned call = 1; call <= 3000; call++) {
        size_t before = fake.diagnostics.size();
        EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_ROTATION, nullptr));
        if (fake.diagnostics.size() != before) {
            traced.push_back(call);
            EXPECT_EQ(fake.diagnostics.substr(before), trace_line(1, 1, call) + "\r\n");
        }
    }
    EXPECT_EQ(traced, (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 50, 1000, 2000, 3000}));
}

TEST_F(EnvironmentCallback, EachCodeHasItsOwnCounterWhateverTheFlags) {
    for (int i = 0; i < 6; i++) environment_callback(RETRO_ENVIRONMENT_GET_OVERSCAN, nullptr);
    forget_output();
    environment_callback(RETRO_ENVIRONMENT_GET_CAN_DUPE, nullptr);
    environment_callback(RETRO_ENVIRONMENT_GET_OVERSCAN | RETRO_ENVIRONMENT_EXPERIMENTAL, nullptr);
    EXPECT_EQ(diagnostic_lines(), std::vector<std::string>{"ENV raw=3 cmd=3 count=1 GET_CAN_DUPE"});
}

TEST_F(EnvironmentCallback, ThousandthCallOfCode255WithFlagsShowsTheFullNumber) {
    for (int i = 0; i < 999; i++) environment_callback(255, nullptr);
    forget_output();
    EXPECT_FALSE(environment_callback(0xFFFF00FFu, nullptr));
    EXPECT_EQ(diagnostic_lines(), std::vector<std::string>{"ENV raw=4294902015 cmd=255 count=1000 UNKNOWN"});
}

TEST_F(EnvironmentCallback, TheTraceComesBeforeTheCommandIsHandled) {
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, nullptr));
    ASSERT_EQ(fake.writes.size(), 4u);
    EXPECT_EQ(fake.writes[0].handle, fake.error);
    EXPECT_EQ(fake.writes[1].handle, fake.error);
    EXPECT_EQ(fake.writes[2].handle, fake.output);
    EXPECT_EQ(fake.writes[3].handle, fake.output);
}

struct FixedAnswer {
    unsigned code;
    std::vector<uint8_t> bytes;  // exactly what is written, and no more
};

class FixedAnswers : public EnvironmentCallback, public ::testing::WithParamInterface<FixedAnswer> {};

TEST_P(FixedAnswers, AreWrittenExactlyAsWideAsTheirTypeAndAnswerTrue) {
    uint8_t data[16];
    std::memset(data, 0xAA, sizeof data);
    EXPECT_TRUE(environment_callback(GetParam().code, data));
    const std::vector<uint8_t> &expected = GetParam().bytes;
    EXPECT_EQ(std::vector<uint8_t>(data, data + expected.size()), expected);
    for (size_t i = expected.size(); i < sizeof data; i++) EXPECT_EQ(data[i], 0xAA) << "byte " << i;
}

// 60.0f is 0x42700000; 110 is the five device bits as a 64-bit value.
INSTANTIATE_TEST_SUITE_P(
    EnvironmentCallback, FixedAnswers,
    ::testing::Values(FixedAnswer{RETRO_ENVIRONMENT_GET_OVERSCAN, {0}}, FixedAnswer{RETRO_ENVIRONMENT_GET_CAN_DUPE, {1}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_VARIABLE_UPDATE, {0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_FASTFORWARDING, {0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_INPUT_DEVICE_CAPABILITIES, {110, 0, 0, 0, 0, 0, 0, 0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_LANGUAGE, {0, 0, 0, 0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_AUDIO_VIDEO_ENABLE, {3, 0, 0, 0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_TARGET_REFRESH_RATE, {0x00, 0x00, 0x70, 0x42}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_CORE_OPTIONS_VERSION, {0, 0, 0, 0}},
                      FixedAnswer{RETRO_ENVIRONMENT_GET_INPUT_MAX_USERS, {1, 0, 0, 0}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_ROTATION, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_PERFORMANCE_LEVEL, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_INPUT_DESCRIPTORS, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_CONTROLLER_INFO, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_MEMORY_MAPS, {}},
                      FixedAnswer{RETRO_ENVIRONMENT_SET_SUPPORT_ACHIEVEMENTS, {}}));

TEST_F(EnvironmentCallback, TargetRefreshRateIsSixtyWhateverTheFrameRate) {
    retro_system_av_info av = {};
    av.timing.fps = 30.0;
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    float rate = 0.0f;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_TARGET_REFRESH_RATE, &rate));
    EXPECT_EQ(rate, 60.0f);
    EXPECT_EQ(frame_rate, 30.0);
}

TEST_F(EnvironmentCallback, DirectoriesAreTheHostsOwnConvertedStrings) {
    struct {
        unsigned code;
        const char *text;
        char *const *held;
    } cases[] = {
        {RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY, "/system", &system_directory},
        {RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY, "/saves", &save_directory},
        {RETRO_ENVIRONMENT_GET_CORE_ASSETS_DIRECTORY, "/assets", &core_assets_directory},
        {RETRO_ENVIRONMENT_GET_LIBRETRO_PATH, "/cores/scummvm.so", &core_path},
        {RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY, "/playlists", &playlist_directory},
        {RETRO_ENVIRONMENT_GET_USERNAME, "KALMO", &user_name},
    };
    for (const auto &each : cases) {
        const char *answer = nullptr;
        EXPECT_TRUE(environment_callback(each.code, &answer)) << each.text;
        EXPECT_STREQ(answer, each.text);
        EXPECT_EQ(answer, *each.held) << "the core gets the host's pointer, not a copy";
    }
}

TEST_F(EnvironmentCallback, AnAbsentPlaylistDirectoryAnswersFalseWithOrWithoutAPointer) {
    release_start_up();
    reset_fake_host();
    const char *answer = "sentinel";
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY, &answer));
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY, nullptr));
}

TEST_F(EnvironmentCallback, PixelFormatsZeroOneAndTwoAreStored) {
    for (uint32_t format : {2u, 1u, 0u, 2u}) {
        uint32_t value = format;
        EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &value));
        EXPECT_EQ(pixel_format, format);
    }
}

TEST_F(EnvironmentCallback, TheNextFrameIsReadAsRgb565OnceItIsAccepted) {
    EXPECT_EQ(frame_pixel_of_green565(), 0x08FF00FFu);
    uint32_t format = RETRO_PIXEL_FORMAT_RGB565;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(frame_pixel_of_green565(), 0x00FF00FFu);
}

TEST_F(EnvironmentCallback, AnUnknownOrNullPixelFormatIsRefusedAndKeepsTheOldOne) {
    uint32_t format = RETRO_PIXEL_FORMAT_RGB565;
    ASSERT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    for (uint32_t refused : {3u, 0x80000000u, 0xFFFFFFFFu, 0x10002u}) {
        format = refused;
        EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) << refused;
        EXPECT_EQ(pixel_format, (uint32_t)RETRO_PIXEL_FORMAT_RGB565) << refused;
    }
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, nullptr));
    EXPECT_EQ(pixel_format, (uint32_t)RETRO_PIXEL_FORMAT_RGB565);
    EXPECT_EQ(frame_pixel_of_green565(), 0x00FF00FFu);
}

void key_event(bool, unsigned, uint32_t, uint16_t) {}

TEST_F(EnvironmentCallback, TheKeyboardCallbackIsStoredAndANullMemberStoresNull) {
    retro_keyboard_callback given = {key_event};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &given));
    EXPECT_EQ(keyboard_callback, key_event);
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, nullptr));
    EXPECT_EQ(keyboard_callback, key_event);
    given.callback = nullptr;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &given));
    EXPECT_EQ(keyboard_callback, nullptr);
}

TEST_F(EnvironmentCallback, TheLogInterfacePointsToCoreLogAndNeedsAStructure) {
    retro_log_callback callback = {nullptr};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &callback));
    EXPECT_EQ(callback.log, core_log);
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, nullptr));
}

TEST_F(EnvironmentCallback, NullQueriesAndDeclarationsReachNoOptionLine) {
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_GET_VARIABLE, nullptr));
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_VARIABLES, nullptr));
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"ENV raw=15 cmd=15 count=1 GET_VARIABLE",
                                                             "ENV raw=16 cmd=16 count=1 SET_VARIABLES"}));
}

TEST_F(EnvironmentCallback, ShutdownSendsItsMessageAndClearsTheRunningFlagEachTime) {
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, nullptr));
    EXPECT_EQ(running, 0);
    int data = 5;
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, &data));
    EXPECT_EQ(running, 0);
    EXPECT_EQ(data, 5);
    const std::string shutdown = "{\"state\":\"shutdown\",\"message\":\"ScummVM demande la fermeture\"}";
    EXPECT_EQ(status_messages(), (std::vector<std::string>{shutdown, shutdown}));
}

TEST_F(EnvironmentCallback, AfterShutdownNoFrameIsSent) {
    environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
    forget_output();
    uint8_t pixel[2] = {0, 0};
    video_refresh(pixel, 1, 1, 2);
    EXPECT_EQ(fake.protocol, "");
}

struct TimingCase {
    double fps;
    double sample_rate;
    std::optional<double> frame_rate_after;   // nothing: 60.0 kept
    std::optional<double> sample_rate_after;  // nothing: 48000.0 kept
};

class SystemAvInfo : public EnvironmentCallback, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(SystemAvInfo, RatesAreTakenOnlyAboveTheirThresholdsAndTheAvMessageIsSent) {
    retro_system_av_info av = {};
    av.geometry = {320, 200, 640, 480, 1.6f};
    av.timing = {GetParam().fps, GetParam().sample_rate};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av));
    EXPECT_EQ(frame_rate, GetParam().frame_rate_after.value_or(60.0));
    EXPECT_EQ(sample_rate, GetParam().sample_rate_after.value_or(48000.0));
    EXPECT_EQ(status_messages(),
              std::vector<std::string>{"{\"state\":\"av\",\"width\":320,\"height\":200,\"aspect\":1.600}"});
}

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    EnvironmentCallback, SystemAvInfo,
    ::testing::Values(TimingCase{0.0, 44100.0, std::nullopt, 44100.0}, TimingCase{50.0, 0.0, 50.0, std::nullopt},
                      TimingCase{1.0, 1000.0, std::nullopt, std::nullopt},
                      TimingCase{std::nextafter(1.0, 2.0), std::nextafter(1000.0, 2000.0), std::nextafter(1.0, 2.0),
                                 std::nextafter(1000.0, 2000.0)},
                      TimingCase{not_a_number, not_a_number, std::nullopt, std::nullopt},
                      TimingCase{-60.0, -48000.0, std::nullopt, std::nullopt},
                      TimingCase{59.94, 32768.0, 59.94, 32768.0}));

TEST_F(EnvironmentCallback, ALaterRefusedRateKeepsTheLastAcceptedOne) {
    retro_system_av_info av = {};
    av.timing = {50.0, 22050.0};
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    av.timing = {0.5, 999.0};
    environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, &av);
    EXPECT_EQ(frame_rate, 50.0);
    EXPECT_EQ(sample_rate, 22050.0);
    EXPECT_EQ(status_messages(), (std::vector<std::string>{"{\"state\":\"av\",\"width\":0,\"height\":0}",
                                                           "{\"state\":\"av\",\"width\":0,\"height\":0}"}));
}

TEST_F(EnvironmentCallback, SystemAvInfoWithoutDataSendsNothingAndAnswersTrue) {
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO, nullptr));
    EXPECT_EQ(fake.protocol, "");
    EXPECT_EQ(frame_rate, 60.0);
    EXPECT_EQ(sample_rate, 48000.0);
}

TEST_F(EnvironmentCallback, GeometrySendsTheGeometryMessageAndStoresNothing) {
    retro_game_geometry geometry = {640, 400, 0, 0, 16.0f / 10.0f};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_GEOMETRY, &geometry));
    geometry = {4294967295u, 0, 0, 0, std::numeric_limits<float>::quiet_NaN()};
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_GEOMETRY, &geometry));
    EXPECT_EQ(status_messages(),
              (std::vector<std::string>{"{\"state\":\"geometry\",\"width\":640,\"height\":400,\"aspect\":1.600}",
                                        "{\"state\":\"geometry\",\"width\":4294967295,\"height\":0}"}));
    EXPECT_EQ(frame_rate, 60.0);
    EXPECT_EQ(sample_rate, 48000.0);
}

TEST_F(EnvironmentCallback, GeometryWithoutDataSendsNothingAndAnswersTrue) {
    EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_GEOMETRY, nullptr));
    EXPECT_EQ(fake.protocol, "");
}

}  // namespace
