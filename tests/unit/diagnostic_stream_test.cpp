// The diagnostic stream's line writer: the text, then CR LF in a second
// write, on standard error only; nothing escaped, nothing lost on a failure.
#include <gtest/gtest.h>

#include <string>

#include "channel/diagnostics.h"
#include "parent_view.h"

namespace {

class DiagnosticStream : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }
};

TEST_F(DiagnosticStream, NullAndEmptyTextsWriteOnlyCarriageReturnLineFeed) {
    write_diag_line(nullptr);
    EXPECT_EQ(fake.diagnostics, "\r\n");
    forget_output();
    write_diag_line("");
    EXPECT_EQ(fake.diagnostics, "\r\n");
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(DiagnosticStream, ALineIsItsTextThenCarriageReturnLineFeedInTwoWrites) {
    write_diag_line("CORE_VARIABLES_BEGIN");
    EXPECT_EQ(fake.diagnostics, "CORE_VARIABLES_BEGIN\r\n");
    EXPECT_EQ(fake.diagnostics.size(), 22u);
    ASSERT_EQ(fake.writes.size(), 2u);
    EXPECT_EQ(fake.writes[0].handle, fake.error);
    EXPECT_EQ(fake.writes[0].requested, 20u);
    EXPECT_EQ(fake.writes[1].handle, fake.error);
    EXPECT_EQ(fake.writes[1].requested, 2u);
    EXPECT_EQ(fake.protocol, "");
}

TEST_F(DiagnosticStream, LinesFollowEachOtherInProgramOrder) {
    write_diag_line("HOST_BUILD=x");
    write_diag_line("startup");
    write_diag_line("");
    write_diag_line("CONTENT_END");
    EXPECT_EQ(diagnostic_lines(), (std::vector<std::string>{"HOST_BUILD=x", "startup", "", "CONTENT_END"}));
}

TEST_F(DiagnosticStream, ACopiedLineBreakIsWrittenUnchangedAndSplitsTheLine) {
    write_diag_line("path=C:\\games\nsecond\rthird \"quoted\"");
    EXPECT_EQ(fake.diagnostics, "path=C:\\games\nsecond\rthird \"quoted\"\r\n");
}

TEST_F(DiagnosticStream, NonAsciiBytesPassThroughUnchanged) {
    write_diag_line("path=/jeux/\xc3\xa9t\xc3\xa9/\xe2\x82\xac");
    EXPECT_EQ(fake.diagnostics, "path=/jeux/\xc3\xa9t\xc3\xa9/\xe2\x82\xac\r\n");
}

TEST_F(DiagnosticStream, AFailedTextWriteStillEndsTheLine) {
    fake.failing_writes = 1;
    write_diag_line("lost");
    write_diag_line("next");
    EXPECT_EQ(fake.diagnostics, "\r\nnext\r\n");
}

TEST_F(DiagnosticStream, AFailedLineEndLeavesTheNextLineIntact) {
    write_diag_text("first");
    fake.failing_writes = 1;
    write_diag_end();
    write_diag_line("second");
    EXPECT_EQ(fake.diagnostics, "firstsecond\r\n");
}

TEST_F(DiagnosticStream, PartialWritesDeliverTheWholeLine) {
    fake.write_limit = 3;
    write_diag_line("SYSTEM_INFO_BEGIN");
    EXPECT_EQ(fake.diagnostics, "SYSTEM_INFO_BEGIN\r\n");
}

TEST_F(DiagnosticStream, ALineWrittenInPiecesEqualsTheWholeLine) {
    write_diag_text("library_name=");
    write_diag_text("ScummVM");
    write_diag_text(nullptr);
    write_diag_end();
    EXPECT_EQ(diagnostic_lines(), std::vector<std::string>{"library_name=ScummVM"});
}

}  // namespace
