// Command lines for the host's input, and the Windows command line the host
// is started with: UTF-8 to UTF-16, and quoting that CommandLineToArgvW
// undoes (checked here against its documented rules, and under Wine against
// the real one).
#include <gtest/gtest.h>

#include "command_lines.h"
#include "host_process.h"

namespace client_test {
namespace {

using kalmo::client::windows_command_line;

// CommandLineToArgvW's documented rules for the arguments after the program
// name: 2n backslashes before a quote give n and the quote opens or closes,
// 2n+1 give n and a literal quote, other backslashes are literal.
std::vector<std::u16string> split_like_windows(const std::u16string &line) {
    std::vector<std::u16string> words;
    size_t i = line.find(u'"', 1) + 1;  // the program name is quoted whole
    words.push_back(line.substr(1, i - 2));
    while (i < line.size()) {
        while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) i++;
        if (i == line.size()) break;
        std::u16string word;
        bool quoted = false;
        for (; i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t')); i++) {
            size_t slashes = 0;
            while (i < line.size() && line[i] == u'\\') slashes++, i++;
            if (i < line.size() && line[i] == u'"') {
                word.append(slashes / 2, u'\\');
                if (slashes % 2) word += u'"';
                else quoted = !quoted;
            } else {
                word.append(slashes, u'\\');
                if (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) word += line[i];
                else i--;
            }
        }
        words.push_back(word);
    }
    return words;
}

TEST(ClientCommandLines, MouseAndKeyLinesAreWholeAndChecked) {
    std::string error;
    EXPECT_EQ(kalmo::client::mouse_line(-2147483647 - 1, 5, 7, -3, 640, 480, 0, error),
              "M -2147483648 5 7 -3 640 480 0\n");
    EXPECT_EQ(kalmo::client::key_line(65535, 0, 0x10FFFF, 65535, error), "K 65535 0 1114111 65535\n");
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(kalmo::client::mouse_line(0, 0, 8, 0, 0, 0, 0, error), "");
    EXPECT_EQ(error, "mouse buttons 8 is not a mask of 1, 2 and 4");
    error.clear();
    EXPECT_EQ(kalmo::client::key_line(1, 1, 0x110000, 0, error), "");
    EXPECT_EQ(error, "key character 1114112 is not a Unicode code point");
}

TEST(ClientWindowsCommandLine, Utf8BecomesUtf16AndBackAndBrokenUtf8IsRefused) {
    std::u16string wide;
    std::string error;
    const std::string text = "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xAE";
    ASSERT_TRUE(kalmo::client::utf8_to_utf16(text, wide, error)) << error;
    EXPECT_EQ(wide, u"caf\u00E9 \u65E5 \U0001F3AE");
    EXPECT_EQ(kalmo::client::utf16_to_utf8(wide), text);
    for (const std::string &broken : {std::string("\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                                      std::string("a\xFF"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(kalmo::client::utf8_to_utf16(broken, wide, error));
        EXPECT_NE(error.find("not valid UTF-8 at byte"), std::string::npos);
    }
}

TEST(ClientWindowsCommandLine, EveryArgumentComesBackUnchanged) {
    std::vector<std::u16string> arguments = {
        u"C:\\Program Files\\KALMO\\kalmo-host.exe",
        u"plain",
        u"with space",
        u"",
        u"trailing backslash\\",
        u"C:\\dir\\",
        u"quote\"inside",
        u"\\\\server\\share\\\"quoted\\\" part\\\\",
        u"tab\there",
        u"donn\u00E9es \U0001F3AE",
    };
    std::u16string line = windows_command_line(arguments);
    EXPECT_EQ(split_like_windows(line), arguments);
    EXPECT_EQ(line.rfind(u"\"C:\\Program Files\\KALMO\\kalmo-host.exe\" plain \"with space\" \"\" ", 0), 0u);
}

}  // namespace
}  // namespace client_test
