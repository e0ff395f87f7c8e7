// Parsing of command scripts and the watcher behind their waiting
// directives; see command_script.h for the script format.
#include "command_script.h"

namespace kalmo {

namespace {

uint32_t parse_number(const std::string &text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + uint32_t(c - '0');
    }
    return value;
}

std::string without_line_ending(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool take_directive(const std::string &line, const char *name, std::string &argument) {
    std::string prefix = std::string("#") + name;
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = line.substr(prefix.size());
    if (!rest.empty() && rest[0] != ' ') return false;
    argument = rest.empty() ? rest : rest.substr(1);
    return true;
}

void add_bytes(std::vector<ScriptStep> &steps, const std::string &bytes) {
    if (steps.empty() || steps.back().kind != ScriptStep::kSend) steps.push_back(ScriptStep{});
    steps.back().bytes += bytes;
}

void add_directive(std::vector<ScriptStep> &steps, const std::string &line) {
    std::string argument;
    ScriptStep step;
    if (take_directive(line, "sleep", argument)) {
        step.kind = ScriptStep::kSleep;
        step.number = parse_number(argument);
    } else if (take_directive(line, "wait-frames", argument)) {
        step.kind = ScriptStep::kWaitFrames;
        step.number = parse_number(argument);
    } else if (take_directive(line, "wait-status", argument)) {
        step.kind = ScriptStep::kWaitStatus;
        step.bytes = argument;
    } else if (take_directive(line, "close", argument)) {
        step.kind = ScriptStep::kClose;
    } else {
        return;  // a comment
    }
    steps.push_back(step);
}

}  // namespace

std::vector<ScriptStep> parse_command_script(const std::string &text) {
    std::vector<ScriptStep> steps;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        if (line.compare(0, 2, "##") == 0)
            add_bytes(steps, line.substr(1));
        else if (line[0] == '#')
            add_directive(steps, without_line_ending(line));
        else
            add_bytes(steps, line);
    }
    return steps;
}

void OutputWatcher::feed(const void *bytes, size_t count) {
    decoder_.feed(bytes, count);
    Packet packet;
    while (decoder_.next(packet)) {
        if (packet.type == kVideoPacket) frames_++;
        if (packet.type == kStatusPacket) statuses_.push_back(status_text(packet));
    }
}

bool OutputWatcher::saw_status_containing(const std::string &text) const {
    for (const std::string &status : statuses_)
        if (status.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace kalmo
