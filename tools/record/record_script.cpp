// Parsing and playing input scripts; see record_script.h for the format.
#include "record_script.h"

#include <cstdlib>

namespace kalmo {

namespace {

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// "frame N" or "T" / "Ts" (seconds): the moment before the colon.
bool parse_moment(const std::string &moment, ScriptLine &line) {
    if (moment.compare(0, 6, "frame ") == 0) {
        std::string number = trimmed(moment.substr(6));
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
        line.frame = std::strtoull(number.c_str(), nullptr, 10);
        return true;
    }
    std::string number = moment;
    if (!number.empty() && number.back() == 's') number.pop_back();
    number = trimmed(number);
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) return false;
    char *end = nullptr;
    line.seconds = std::strtod(number.c_str(), &end);
    if (*end != 0) return false;
    line.by_time = true;
    return true;
}

}  // namespace

bool parse_input_script(const std::string &text, std::vector<ScriptLine> &lines, std::string &error) {
    size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = trimmed(text.substr(start, end - start));
        start = end + 1;
        number++;
        if (raw.empty() || raw[0] == '#') continue;
        size_t colon = raw.find(':');
        ScriptLine line;
        line.source_line = number;
        if (raw.compare(0, 3, "at ") != 0 || colon == std::string::npos ||
            !parse_moment(trimmed(raw.substr(3, colon - 3)), line)) {
            error = "line " + std::to_string(number) + ": expected \"at frame N: COMMAND\" or \"at T s: COMMAND\", got \"" +
                    raw + "\"";
            return false;
        }
        line.command = trimmed(raw.substr(colon + 1));
        if (line.command.empty()) {
            error = "line " + std::to_string(number) + ": no command after the colon";
            return false;
        }
        lines.push_back(line);
    }
    return true;
}

ScriptPlayer::ScriptPlayer(std::vector<ScriptLine> lines) : lines_(std::move(lines)), sent_(lines_.size(), false) {}

std::vector<std::string> ScriptPlayer::due(uint64_t frames, double seconds_running) {
    std::vector<std::string> commands;
    if (seconds_running < 0) return commands;
    for (size_t i = 0; i < lines_.size(); i++) {
        if (sent_[i]) continue;
        const ScriptLine &line = lines_[i];
        bool is_due = line.by_time ? seconds_running >= line.seconds : frames >= line.frame;
        if (!is_due) continue;
        sent_[i] = true;
        commands.push_back(line.command);
    }
    return commands;
}

size_t ScriptPlayer::remaining() const {
    size_t count = 0;
    for (bool sent : sent_) count += !sent;
    return count;
}

}  // namespace kalmo
