// Core options: the fixed answer table matched byte for byte on whole keys,
// one VAR line per query whatever the outcome, the declaration block read up
// to its terminator or 256 entries, and the variable line cut at 500 bytes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core_services/core_options.h"
#include "core_services/environment.h"
#include "parent_view.h"

namespace {

const std::vector<std::pair<std::string, std::string>> option_table = {
    {"scummvm_pointer_device", "mouse"},
    {"scummvm_mouse_speed", "0.9"},
    {"scummvm_mouse_fine_control_speed_reduction", "4"},
    {"scummvm_gamepad_cursor_speed", "1.0"},
    {"scummvm_gamepad_cursor_acceleration_time", "off"},
    {"scummvm_analog_response", "linear"},
    {"scummvm_analog_deadzone", "0"},
    {"scummvm_gamepad_cursor_only", "disabled"},
    {"scummvm_video_hw_acceleration", "disabled"},
    {"scummvm_framerate", "disabled"},
    {"scummvm_samplerate", "48000 Hz"},
};

const char not_answered[] = "not answered";

class CoreOptions : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    // Queries through the environment callback, as a core does, and returns
    // the VAR lines that followed the trace line.
    static std::vector<std::string> query(const char *key, const char **value, bool *answered) {
        forget_output();
        retro_variable variable = {key, not_answered};
        *answered = environment_callback(RETRO_ENVIRONMENT_GET_VARIABLE, &variable);
        *value = variable.value;
        std::vector<std::string> lines = diagnostic_lines();
        if (!lines.empty() && lines[0].rfind("ENV ", 0) == 0) lines.erase(lines.begin());
        return lines;
    }

    static std::vector<std::string> declare(const std::vector<retro_variable> &variables) {
        forget_output();
        EXPECT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_VARIABLES, (void *)variables.data()));
        std::vector<std::string> lines = diagnostic_lines();
        if (!lines.empty() && lines[0].rfind("ENV ", 0) == 0) lines.erase(lines.begin());
        return lines;
    }
};

TEST_F(CoreOptions, EveryKeyOfTheTableGetsItsFixedValue) {
    for (const auto &[key, value] : option_table) {
        const char *answer = nullptr;
        bool answered = false;
        std::vector<std::string> lines = query(key.c_str(), &answer, &answered);
        EXPECT_TRUE(answered) << key;
        ASSERT_NE(answer, nullptr) << key;
        EXPECT_EQ(std::string(answer), value);
        EXPECT_EQ(lines, std::vector<std::string>{"VAR key=" + key + " value=" + value});
    }
}

TEST_F(CoreOptions, ThePointerDeviceIsTheMouse) {
    const char *answer = nullptr;
    bool answered = false;
    EXPECT_EQ(query("scummvm_pointer_device", &answer, &answered),
              std::vector<std::string>{"VAR key=scummvm_pointer_device value=mouse"});
    EXPECT_TRUE(answered);
    EXPECT_STREQ(answer, "mouse");
}

TEST_F(CoreOptions, TheSampleRateKeepsItsSpaceAndUnit) {
    const char *answer = nullptr;
    bool answered = false;
    query("scummvm_samplerate", &answer, &answered);
    EXPECT_TRUE(answered);
    EXPECT_STREQ(answer, "48000 Hz");
}

TEST_F(CoreOptions, TheSameQueryGetsTheSameConstantEveryTime) {
    const char *first = nullptr;
    const char *second = nullptr;
    bool answered = false;
    query("scummvm_mouse_speed", &first, &answered);
    query("scummvm_mouse_speed", &second, &answered);
    EXPECT_EQ(first, second);
}

TEST_F(CoreOptions, KeysMatchOnlyWholeAndWithTheSameCase) {
    for (const char *key : {"SCUMMVM_POINTER_DEVICE", "Scummvm_pointer_device", "scummvm_pointer",
                            "scummvm_pointer_device_x", "scummvm_pointer_device ", " scummvm_pointer_device",
                            "scummvm_pointer_devic", "scummvm_", "mouse", "scummvm_samplerate\n"}) {
        const char *answer = not_answered;
        bool answered = true;
        query(key, &answer, &answered);
        EXPECT_FALSE(answered) << key;
        EXPECT_EQ(answer, nullptr) << key;
        EXPECT_EQ(fake.diagnostics.substr(fake.diagnostics.find("VAR ")),
                  std::string("VAR key=") + key + " value=<null>\r\n");
    }
}

TEST_F(CoreOptions, AnEmptyKeyMatchesNothing) {
    const char *answer = not_answered;
    bool answered = true;
    EXPECT_EQ(query("", &answer, &answered), std::vector<std::string>{"VAR key= value=<null>"});
    EXPECT_FALSE(answered);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(CoreOptions, ANullKeyIsAnsweredNullAndStillReported) {
    const char *answer = not_answered;
    bool answered = true;
    EXPECT_EQ(query(nullptr, &answer, &answered), std::vector<std::string>{"VAR key= value=<null>"});
    EXPECT_FALSE(answered);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(CoreOptions, AQueryLeavesTheKeyMemberAlone) {
    const char *key = "scummvm_framerate";
    retro_variable variable = {key, nullptr};
    EXPECT_TRUE(answer_variable_query(&variable));
    EXPECT_EQ(variable.key, key);
    EXPECT_STREQ(variable.value, "disabled");
}

TEST_F(CoreOptions, EveryQueryWritesItsLineUnfiltered) {
    for (int i = 0; i < 60; i++) {
        retro_variable variable = {"scummvm_framerate", nullptr};
        environment_callback(RETRO_ENVIRONMENT_GET_VARIABLE, &variable);
    }
    int variable_lines = 0;
    for (const std::string &line : diagnostic_lines())
        if (line == "VAR key=scummvm_framerate value=disabled") variable_lines++;
    EXPECT_EQ(variable_lines, 60);
}

TEST_F(CoreOptions, A600ByteKeyGivesALineOfExactly500Bytes) {
    std::string key(600, 'k');
    const char *answer = not_answered;
    bool answered = true;
    std::vector<std::string> lines = query(key.c_str(), &answer, &answered);
    EXPECT_FALSE(answered);
    EXPECT_EQ(answer, nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 500u);
    EXPECT_EQ(lines[0], "VAR key=" + std::string(492, 'k'));
}

TEST_F(CoreOptions, AKeyNearTheBoundLeavesPartOfTheValueLabel) {
    report_variable(std::string(488, 'k').c_str(), "mouse");
    EXPECT_EQ(fake.diagnostics, "VAR key=" + std::string(488, 'k') + " val\r\n");
}

TEST_F(CoreOptions, ALongValueIsCutAt500Bytes) {
    report_variable("scummvm_mouse_speed", std::string(1000, 'v').c_str());
    std::vector<std::string> lines = diagnostic_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "VAR key=scummvm_mouse_speed value=" + std::string(500 - 34, 'v'));
}

TEST_F(CoreOptions, TheNullMarkIsCutLikeAnyValue) {
    report_variable(std::string(484, 'k').c_str(), nullptr);
    EXPECT_EQ(fake.diagnostics, "VAR key=" + std::string(484, 'k') + " value=<\r\n");
}

TEST_F(CoreOptions, ADeclarationOfThreeOptionsIsReportedInArrayOrder) {
    std::vector<retro_variable> variables = {
        {"scummvm_gamepad_cursor_speed", "Gamepad cursor speed; 1.0|1.5|2.0"},
        {"scummvm_analog_response", "Analog response; linear|quadratic"},
        {"scummvm_framerate", "Frame rate cap; disabled|30 Hz"},
        {nullptr, nullptr},
    };
    EXPECT_EQ(declare(variables),
              (std::vector<std::string>{"CORE_VARIABLES_BEGIN",
                                        "VAR key=scummvm_gamepad_cursor_speed value=Gamepad cursor speed; 1.0|1.5|2.0",
                                        "VAR key=scummvm_analog_response value=Analog response; linear|quadratic",
                                        "VAR key=scummvm_framerate value=Frame rate cap; disabled|30 Hz",
                                        "CORE_VARIABLES_END"}));
}

TEST_F(CoreOptions, DeclaredValuesArePassedThroughByteForByte) {
    std::string value = "Mouse  speed ;; 0.1|0.5| 1.0 |\t2.0|\xc3\xa9|\"quoted\" \\ back";
    std::vector<retro_variable> variables = {{"key", value.c_str()}, {nullptr, nullptr}};
    std::vector<std::string> lines = declare(variables);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "VAR key=key value=" + value);
}

TEST_F(CoreOptions, ADeclaredValueWithALineFeedSplitsTheLineUnchanged) {
    std::vector<retro_variable> variables = {{"key", "first\nsecond"}, {nullptr, nullptr}};
    declare(variables);
    EXPECT_EQ(fake.diagnostics.substr(fake.diagnostics.find("CORE_VARIABLES_BEGIN")),
              "CORE_VARIABLES_BEGIN\r\nVAR key=key value=first\nsecond\r\nCORE_VARIABLES_END\r\n");
}

TEST_F(CoreOptions, ADeclaredNullValueShowsAsTheNullMark) {
    std::vector<retro_variable> variables = {{"key", nullptr}, {"empty", ""}, {nullptr, nullptr}};
    EXPECT_EQ(declare(variables), (std::vector<std::string>{"CORE_VARIABLES_BEGIN", "VAR key=key value=<null>",
                                                            "VAR key=empty value=", "CORE_VARIABLES_END"}));
}

TEST_F(CoreOptions, ADeclarationWhoseFirstKeyIsNullGivesOnlyTheBrackets) {
    std::vector<retro_variable> variables = {{nullptr, "ignored"}, {"never", "read"}, {nullptr, nullptr}};
    EXPECT_EQ(declare(variables), (std::vector<std::string>{"CORE_VARIABLES_BEGIN", "CORE_VARIABLES_END"}));
}

TEST_F(CoreOptions, ADeclarationOf300OptionsReportsTheFirst256) {
    std::vector<std::string> keys;
    for (int i = 0; i < 300; i++) keys.push_back("option_" + std::to_string(i));
    std::vector<retro_variable> variables;
    for (const std::string &key : keys) variables.push_back({key.c_str(), "a|b"});
    variables.push_back({nullptr, nullptr});
    std::vector<std::string> lines = declare(variables);
    ASSERT_EQ(lines.size(), 258u);
    EXPECT_EQ(lines.front(), "CORE_VARIABLES_BEGIN");
    EXPECT_EQ(lines[1], "VAR key=option_0 value=a|b");
    EXPECT_EQ(lines[256], "VAR key=option_255 value=a|b");
    EXPECT_EQ(lines.back(), "CORE_VARIABLES_END");
}

TEST_F(CoreOptions, ADeclarationOfExactly256OptionsIsReportedWhole) {
    std::vector<std::string> keys;
    for (int i = 0; i < 256; i++) keys.push_back("k" + std::to_string(i));
    std::vector<retro_variable> variables;
    for (const std::string &key : keys) variables.push_back({key.c_str(), nullptr});
    variables.push_back({nullptr, nullptr});
    std::vector<std::string> lines = declare(variables);
    ASSERT_EQ(lines.size(), 258u);
    EXPECT_EQ(lines[256], "VAR key=k255 value=<null>");
}

TEST_F(CoreOptions, DeclarationsStoreNothingThatQueriesWouldAnswer) {
    std::vector<retro_variable> variables = {{"scummvm_pointer_device", "Pointer; touch|mouse"},
                                             {"custom_option", "Custom; yes|no"},
                                             {nullptr, nullptr}};
    declare(variables);
    const char *answer = nullptr;
    bool answered = false;
    query("scummvm_pointer_device", &answer, &answered);
    EXPECT_STREQ(answer, "mouse");
    query("custom_option", &answer, &answered);
    EXPECT_FALSE(answered);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(CoreOptions, EachDeclarationGetsItsOwnBracketedBlock) {
    std::vector<retro_variable> variables = {{"a", "1"}, {nullptr, nullptr}};
    forget_output();
    report_declared_variables(variables.data());
    report_declared_variables(variables.data());
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"CORE_VARIABLES_BEGIN", "VAR key=a value=1",
                                                             "CORE_VARIABLES_END", "CORE_VARIABLES_BEGIN",
                                                             "VAR key=a value=1", "CORE_VARIABLES_END"}));
}

}  // namespace
