// The shared text builder: bounds, escaping and decimal numbers.
#include <gtest/gtest.h>

#include <string>

#include "channel/text_builder.h"

namespace {

std::string build(uint32_t bound, void (*fill)(text_builder *)) {
    char buffer[64];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, bound);
    fill(&text);
    return text_finish(&text);
}

TEST(TextBuilder, WritesSignedAndUnsignedDecimalsWithoutLeadingZeros) {
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_unsigned(t, 0); }), "0");
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_unsigned(t, 4294967295u); }), "4294967295");
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_signed(t, -200); }), "-200");
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_signed(t, INT32_MIN); }), "-2147483648");
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_signed(t, 1050); }), "1050");
}

TEST(TextBuilder, StopsAtTheBoundButWritesAnEscapedPairWhole) {
    EXPECT_EQ(build(5, [](text_builder *t) { text_append_string(t, "abcdefgh"); }), "abcde");
    EXPECT_EQ(build(5, [](text_builder *t) { text_append_escaped(t, "abcd\"efgh"); }), "abcd\\\"");
    EXPECT_EQ(build(60, [](text_builder *t) { text_append_escaped(t, "a\"b\\c"); }), "a\\\"b\\\\c");
}

TEST(TextBuilder, NeverWritesPastItsCapacityWhateverTheBound) {
    char buffer[8];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, 1000);
    text_append_escaped(&text, "\"\"\"\"\"\"\"\"");
    text_append_closing(&text, "closing bytes");
    EXPECT_LT(text.length, sizeof buffer);
    EXPECT_EQ(std::string(text_finish(&text)).size(), text.length);
}

}  // namespace
