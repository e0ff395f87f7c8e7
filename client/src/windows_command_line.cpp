// The Windows command line of the host, built from UTF-8 arguments: the
// conversion to UTF-16 and the quoting that CommandLineToArgvW undoes. Plain
// C++, compiled into every build, so the Linux tests pin it too; the Wine
// test checks it against the real CommandLineToArgvW.
#include "host_process.h"

namespace kalmo::client {

bool utf8_to_utf16(const std::string &text, std::u16string &wide, std::string &error) {
    wide.clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = (unsigned char)text[i];
        uint32_t point = 0;
        size_t extra = 0;
        uint32_t smallest = 0;
        if (lead < 0x80) point = lead;
        else if ((lead & 0xE0) == 0xC0) point = lead & 0x1F, extra = 1, smallest = 0x80;
        else if ((lead & 0xF0) == 0xE0) point = lead & 0x0F, extra = 2, smallest = 0x800;
        else if ((lead & 0xF8) == 0xF0) point = lead & 0x07, extra = 3, smallest = 0x10000;
        else extra = 99;
        bool valid = extra != 99 && i + extra < text.size() + (extra == 0);
        for (size_t k = 1; valid && k <= extra; k++) {
            unsigned char next = (unsigned char)text[i + k];
            valid = (next & 0xC0) == 0x80;
            point = point << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and points past Unicode are not UTF-8.
        if (!valid || point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) ||
            (extra == 0 && point == 0)) {
            error = "not valid UTF-8 at byte " + std::to_string(i);
            return false;
        }
        if (point < 0x10000) {
            wide += char16_t(point);
        } else {
            point -= 0x10000;
            wide += char16_t(0xD800 + (point >> 10));
            wide += char16_t(0xDC00 + (point & 0x3FF));
        }
        i += extra + 1;
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string &wide) {
    std::string text;
    for (size_t i = 0; i < wide.size(); i++) {
        uint32_t point = wide[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000)
            point = 0x10000 + ((point - 0xD800) << 10) + (wide[++i] - 0xDC00);
        if (point < 0x80) {
            text += char(point);
        } else if (point < 0x800) {
            text += char(0xC0 | point >> 6);
            text += char(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            text += char(0xE0 | point >> 12);
            text += char(0x80 | (point >> 6 & 0x3F));
            text += char(0x80 | (point & 0x3F));
        } else {
            text += char(0xF0 | point >> 18);
            text += char(0x80 | (point >> 12 & 0x3F));
            text += char(0x80 | (point >> 6 & 0x3F));
            text += char(0x80 | (point & 0x3F));
        }
    }
    return text;
}

// Backslashes are literal except before a double quote, where they must be
// doubled; a quote itself is escaped; an argument with a space or tab, or an
// empty one, is wrapped in quotes (so its trailing backslashes double too).
static void append_quoted(std::u16string &line, const std::u16string &argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        line += argument;
        return;
    }
    line += u'"';
    size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            backslashes++;
            continue;
        }
        line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, u'\\');
    line += u'"';
}

std::u16string windows_command_line(const std::vector<std::u16string> &arguments) {
    std::u16string line;
    for (size_t i = 0; i < arguments.size(); i++) {
        if (i) line += u' ';
        // The program name is read by different rules (no backslash escapes
        // at all): a quote cannot appear in it, so plain wrapping suffices.
        if (i == 0) line += u'"' + arguments[0] + u'"';
        else append_quoted(line, arguments[i]);
    }
    return line;
}

}  // namespace kalmo::client
