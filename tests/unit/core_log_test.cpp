// The core's log printer: one CORELOG line per call, the level never below
// 0, the core's text written raw and whole, CR LF added only when the text
// does not already end with LF.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core_services/core_log.h"
#include "core_services/environment.h"
#include "parent_view.h"

namespace {

class CoreLog : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_F(CoreLog, ATextEndingWithLineFeedKeepsThatLineFeedAlone) {
    core_log(RETRO_LOG_INFO, "Loaded game\n");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=1 | Loaded game\n");
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(CoreLog, ATextWithoutLineBreakGetsCarriageReturnLineFeed) {
    core_log(RETRO_LOG_ERROR, "Cannot open file");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=3 | Cannot open file\r\n");
}

TEST_F(CoreLog, ATextEndingWithCarriageReturnLineFeedGetsNothingMore) {
    core_log(RETRO_LOG_WARN, "careful\r\n");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=2 | careful\r\n");
}

TEST_F(CoreLog, ATextEndingWithCarriageReturnAloneGetsCarriageReturnLineFeed) {
    core_log(RETRO_LOG_WARN, "odd\r");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=2 | odd\r\r\n");
}

TEST_F(CoreLog, NullAndEmptyTextsShowAsEmptyInParentheses) {
    core_log(RETRO_LOG_WARN, nullptr);
    core_log(RETRO_LOG_WARN, "");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=2 | (empty)\r\nCORELOG level=2 | (empty)\r\n");
}

TEST_F(CoreLog, NegativeLevelsShowAsZero) {
    core_log((retro_log_level)-1, "x");
    core_log((retro_log_level)INT_MIN, "y");
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"CORELOG level=0 | x", "CORELOG level=0 | y"}));
}

TEST_F(CoreLog, EveryLevelIsWrittenInDecimal) {
    core_log(RETRO_LOG_DEBUG, "d");
    core_log((retro_log_level)17, "seventeen");
    core_log((retro_log_level)INT_MAX, "top");
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"CORELOG level=0 | d", "CORELOG level=17 | seventeen",
                                                             "CORELOG level=2147483647 | top"}));
}

TEST_F(CoreLog, PrintfDirectivesAreWrittenUnexpandedAndArgumentsIgnored) {
    core_log(RETRO_LOG_INFO, "%d frames from %s at %5.2f%%\n", 42, "disk", 1.5);
    EXPECT_EQ(fake.diagnostics, "CORELOG level=1 | %d frames from %s at %5.2f%%\n");
}

TEST_F(CoreLog, ALongTextIsWrittenWholeWithThePrefixOnce) {
    std::string text;
    for (int i = 0; i < 5000; i++) text += "line " + std::to_string(i) + "|";
    ASSERT_GT(text.size(), 40000u);
    core_log(RETRO_LOG_INFO, text.c_str());
    EXPECT_EQ(fake.diagnostics, "CORELOG level=1 | " + text + "\r\n");
}

TEST_F(CoreLog, LineBreaksInsideTheTextSplitItWithOnlyTheFirstPartPrefixed) {
    core_log(RETRO_LOG_INFO, "one\ntwo\r\nthree");
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"CORELOG level=1 | one\ntwo", "three"}));
}

TEST_F(CoreLog, AnEntryIsThePrefixTheTextAndTheLineEndInAtMostThreeWrites) {
    core_log(RETRO_LOG_INFO, "abc");
    ASSERT_EQ(fake.writes.size(), 3u);
    EXPECT_EQ(fake.writes[0].requested, 18u);
    EXPECT_EQ(fake.writes[1].requested, 3u);
    EXPECT_EQ(fake.writes[2].requested, 2u);
    forget_output();
    core_log(RETRO_LOG_INFO, "abc\n");
    EXPECT_EQ(fake.writes.size(), 2u);
    forget_output();
    core_log(RETRO_LOG_INFO, nullptr);
    ASSERT_EQ(fake.writes.size(), 2u);
    EXPECT_EQ(fake.writes[1].requested, 9u);
}

TEST_F(CoreLog, TheLogInterfaceHandedToTheCoreWritesTheseLines) {
    retro_log_callback callback = {nullptr};
    ASSERT_TRUE(environment_callback(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &callback));
    ASSERT_NE(callback.log, nullptr);
    forget_output();
    callback.log(RETRO_LOG_WARN, "through the core's pointer %s\n", "ignored");
    EXPECT_EQ(fake.diagnostics, "CORELOG level=2 | through the core's pointer %s\n");
}

}  // namespace
