// Building and parsing command-input scripts; see input_script.h.
#include "input_script.h"

#include <cstdlib>

namespace kalmo_test {

InputScript &InputScript::line(const std::string &text) { return bytes(text + "\n"); }

InputScript &InputScript::bytes(const std::string &raw) {
    steps_.push_back({InputStep::kSend, raw, 0});
    return *this;
}

InputScript &InputScript::wait_frames(uint64_t count) {
    steps_.push_back({InputStep::kWaitFrames, "", count});
    return *this;
}

InputScript &InputScript::wait_status(const std::string &text) {
    steps_.push_back({InputStep::kWaitStatus, text, 0});
    return *this;
}

InputScript &InputScript::sleep_ms(uint64_t milliseconds) {
    steps_.push_back({InputStep::kSleep, "", milliseconds});
    return *this;
}

InputScript &InputScript::close() {
    steps_.push_back({InputStep::kClose, "", 0});
    return *this;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape_input_text(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char e = text[++i];
        if (e == 'n') out += '\n';
        else if (e == 'r') out += '\r';
        else if (e == 't') out += '\t';
        else if (e == 'x' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += char(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else out += e;
    }
    return out;
}

static bool read_count(const std::string &text, uint64_t &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtoull(text.c_str(), &end, 10);
    return *end == 0 || *end == ' ';
}

static bool directive(const std::string &line, const char *name, std::string &rest) {
    std::string word = std::string("@") + name;
    if (line.compare(0, word.size(), word) != 0) return false;
    if (line.size() == word.size()) {
        rest.clear();
        return true;
    }
    if (line[word.size()] != ' ') return false;
    rest = line.substr(word.size() + 1);
    return true;
}

InputScript InputScript::parse(const std::string &text, std::string &error) {
    InputScript script;
    error.clear();
    size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        number++;
        std::string rest;
        uint64_t count = 0;
        if (line.empty() || line[0] != '@') script.line(line);
        else if (line.compare(0, 2, "@#") == 0) continue;
        else if (directive(line, "frames", rest) && read_count(rest, count)) script.wait_frames(count);
        else if (directive(line, "sleep", rest) && read_count(rest, count)) script.sleep_ms(count);
        else if (directive(line, "status", rest)) script.wait_status(rest);
        else if (directive(line, "raw", rest)) script.bytes(unescape_input_text(rest));
        else if (directive(line, "close", rest)) script.close();
        else if (directive(line, "bytes", rest) && read_count(rest, count) && rest.find(' ') != std::string::npos &&
                 rest.find(' ') + 1 < rest.size())
            script.bytes(std::string(count, rest[rest.find(' ') + 1]));
        else {
            error = "line " + std::to_string(number) + ": unknown directive \"" + line + "\"";
            return script;
        }
    }
    return script;
}

}  // namespace kalmo_test
