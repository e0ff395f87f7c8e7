// The error, stage and geometry status messages as the parent decodes them:
// exact texts, the bounds with the escaped pair written whole, the stage
// name echoed on the diagnostic stream after the packet, and the aspect
// rounded to three decimals in single precision.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "channel/status_messages.h"
#include "parent_view.h"

namespace {

class StatusMessages : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    // The one status text the call under test sent.
    static std::string only_status(void) {
        std::vector<std::string> statuses = status_messages();
        EXPECT_EQ(statuses.size(), 1u);
        return statuses.empty() ? std::string() : statuses[0];
    }
};

TEST_F(StatusMessages, ErrorWithAnEmptyMessageHasAnEmptyMessageMember) {
    send_error("");
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"\"}");
    EXPECT_EQ(fake.diagnostics, "");
}

TEST_F(StatusMessages, ErrorsOfTheHostGoOutAsTheyStand) {
    send_error("Arguments du moteur KALMO invalides");
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"Arguments du moteur KALMO invalides\"}");
}

TEST_F(StatusMessages, ErrorEscapesQuoteAndBackslashAndNothingElse) {
    send_error("a\"b\\c");
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"a\\\"b\\\\c\"}");
}

TEST_F(StatusMessages, ErrorCopiesControlAndHighBytesUnchanged) {
    send_error("\x01\t\n\xc3\xa9/\x7f");
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"\x01\t\n\xc3\xa9/\x7f\"}");
}

TEST_F(StatusMessages, ErrorOfAThousandBytesKeepsTheFirst452) {
    send_error(std::string(1000, 'e').c_str());
    std::string text = only_status();
    EXPECT_EQ(text.size(), 482u);
    EXPECT_EQ(text, "{\"state\":\"error\",\"message\":\"" + std::string(452, 'e') + "\"}");
}

TEST_F(StatusMessages, ErrorWithAQuoteAtTheCutWritesThePairWhole) {
    send_error((std::string(451, 'e') + "\"" + std::string(500, 'e')).c_str());
    std::string text = only_status();
    EXPECT_EQ(text.size(), 483u);
    EXPECT_EQ(text, "{\"state\":\"error\",\"message\":\"" + std::string(451, 'e') + "\\\"\"}");
}

TEST_F(StatusMessages, ErrorWithABackslashAtTheCutWritesThePairWhole) {
    send_error((std::string(451, 'e') + "\\tail").c_str());
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"" + std::string(451, 'e') + "\\\\\"}");
}

TEST_F(StatusMessages, ErrorOfQuotesOnlyStopsAfterThePairThatReachesTheBound) {
    // 226 pairs take the text from 28 to 480 bytes: nothing after them fits.
    send_error(std::string(300, '"').c_str());
    std::string escaped;
    for (int i = 0; i < 226; i++) escaped += "\\\"";
    EXPECT_EQ(only_status(), "{\"state\":\"error\",\"message\":\"" + escaped + "\"}");
}

TEST_F(StatusMessages, StageSendsThePacketThenTheStageNameAsADiagnosticLine) {
    send_stage("bind-api", "Connexion native a l API Libretro...");
    EXPECT_EQ(only_status(), "{\"state\":\"stage\",\"stage\":\"bind-api\",\"message\":\"Connexion native a l API Libretro...\"}");
    EXPECT_EQ(fake.diagnostics, "bind-api\r\n");
    ASSERT_EQ(fake.writes.size(), 4u);
    EXPECT_EQ(fake.writes[0].handle, fake.output);
    EXPECT_EQ(fake.writes[1].handle, fake.output);
    EXPECT_EQ(fake.writes[2].handle, fake.error);
    EXPECT_EQ(fake.writes[2].requested, 8u);
    EXPECT_EQ(fake.writes[3].handle, fake.error);
    EXPECT_EQ(fake.writes[3].requested, 2u);
}

TEST_F(StatusMessages, StageEscapesTheMessageButNotTheStageName) {
    send_stage("a\"b", "say \"hi\" \\o/");
    EXPECT_EQ(only_status(), "{\"state\":\"stage\",\"stage\":\"a\"b\",\"message\":\"say \\\"hi\\\" \\\\o/\"}");
    EXPECT_EQ(fake.diagnostics, "a\"b\r\n");
}

TEST_F(StatusMessages, StartupStageWithAThousandByteMessageKeeps454OfIt) {
    send_stage("startup", std::string(1000, 'm').c_str());
    std::string text = only_status();
    EXPECT_EQ(text.size(), 502u);
    EXPECT_EQ(text, "{\"state\":\"stage\",\"stage\":\"startup\",\"message\":\"" + std::string(454, 'm') + "\"}");
    EXPECT_EQ(fake.diagnostics, "startup\r\n");
}

TEST_F(StatusMessages, StartupStageWithAQuoteAtTheLastCopiedPositionReaches503Bytes) {
    send_stage("startup", (std::string(453, 'm') + "\"" + std::string(500, 'm')).c_str());
    std::string text = only_status();
    EXPECT_EQ(text.size(), 503u);
    EXPECT_EQ(text, "{\"state\":\"stage\",\"stage\":\"startup\",\"message\":\"" + std::string(453, 'm') + "\\\"\"}");
}

TEST_F(StatusMessages, AnOverlongStageNameIsCutInThePacketButEchoedWhole) {
    std::string stage(600, 's');
    send_stage(stage.c_str(), "never fits");
    EXPECT_EQ(only_status(), "{\"state\":\"stage\",\"stage\":\"" + std::string(474, 's') + "\"}");
    EXPECT_EQ(fake.diagnostics, stage + "\r\n");
}

TEST_F(StatusMessages, AStageNameNearTheBoundLeavesOnlyPartOfTheSeparator) {
    send_stage(std::string(470, 's').c_str(), "never fits");
    EXPECT_EQ(only_status(), "{\"state\":\"stage\",\"stage\":\"" + std::string(470, 's') + "\",\"m\"}");
}

TEST_F(StatusMessages, GeometryOfFourThirdsIsOnePointThreeThreeThree) {
    send_geometry("av", 640, 480, 4.0f / 3.0f);
    EXPECT_EQ(only_status(), "{\"state\":\"av\",\"width\":640,\"height\":480,\"aspect\":1.333}");
    EXPECT_EQ(fake.diagnostics, "");
}

TEST_F(StatusMessages, GeometryWithoutAspectHasNoAspectMember) {
    send_geometry("geometry", 320, 200, 0.0f);
    EXPECT_EQ(only_status(), "{\"state\":\"geometry\",\"width\":320,\"height\":200}");
}

TEST_F(StatusMessages, GeometryWritesWidthAndHeightAsUnsignedDecimals) {
    send_geometry("av", 0, 0, 0.0f);
    send_geometry("geometry", 4294967295u, 4294967295u, 1.0f);
    send_geometry("av", 2147483648u, 10, 0.0f);
    EXPECT_EQ(status_messages(), (std::vector<std::string>{
                                     "{\"state\":\"av\",\"width\":0,\"height\":0}",
                                     "{\"state\":\"geometry\",\"width\":4294967295,\"height\":4294967295,\"aspect\":1.000}",
                                     "{\"state\":\"av\",\"width\":2147483648,\"height\":10}",
                                 }));
}

struct AspectCase {
    float aspect;
    const char *member;  // the text after "height":480, before the closing brace
};

class AspectRounding : public ::testing::TestWithParam<AspectCase> {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_P(AspectRounding, AspectIsRoundedHalfUpToThreeDecimalsOrLeftOut) {
    send_geometry("av", 640, 480, GetParam().aspect);
    std::vector<std::string> statuses = status_messages();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], std::string("{\"state\":\"av\",\"width\":640,\"height\":480") + GetParam().member + "}");
}

INSTANTIATE_TEST_SUITE_P(
    StatusMessages, AspectRounding,
    ::testing::Values(AspectCase{4.0f / 3.0f, ",\"aspect\":1.333"}, AspectCase{16.0f / 9.0f, ",\"aspect\":1.778"},
                      AspectCase{1.6f, ",\"aspect\":1.600"}, AspectCase{0.5f, ",\"aspect\":0.500"},
                      AspectCase{1.9995f, ",\"aspect\":2.000"}, AspectCase{0.0105f, ",\"aspect\":0.011"},
                      AspectCase{1.0f, ",\"aspect\":1.000"}, AspectCase{12.25f, ",\"aspect\":12.250"},
                      AspectCase{1234.5678f, ",\"aspect\":1234.568"},
                      // The float just above the one nearest 0.01 passes the test and shows as 0.010.
                      AspectCase{std::nextafter(0.01f, 1.0f), ",\"aspect\":0.010"}, AspectCase{0.01f, ""},
                      AspectCase{0.0f, ""}, AspectCase{-0.0f, ""}, AspectCase{-1.5f, ""},
                      AspectCase{std::numeric_limits<float>::quiet_NaN(), ""},
                      AspectCase{-std::numeric_limits<float>::infinity(), ""}));

// A thousandfold beyond 32 bits has no meaningful rendering; the host pins it
// to the largest value so the text stays the same from run to run.
INSTANTIATE_TEST_SUITE_P(HugeAspect, AspectRounding,
                         ::testing::Values(AspectCase{4294968.0f, ",\"aspect\":4294967.295"},
                                           AspectCase{1.0e7f, ",\"aspect\":4294967.295"},
                                           AspectCase{1.0e30f, ",\"aspect\":4294967.295"},
                                           AspectCase{std::numeric_limits<float>::max(), ",\"aspect\":4294967.295"},
                                           AspectCase{std::numeric_limits<float>::infinity(),
                                                      ",\"aspect\":4294967.295"}));

}  // namespace
