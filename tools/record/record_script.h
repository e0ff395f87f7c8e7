// Input scripts for the recorder: command lines for the host, each with the
// moment it is due. A script is a text file of lines such as
//
//     # a comment
//     at frame 30: M 5 0 0 0 165 120 1
//     at 1.5s: K 97 1 97 0
//
// "at frame N" is due once N video frames have arrived ("frame 0" as soon as
// the host reports "running"); "at T s" is due T seconds after "running".
// The text after the colon is sent as it stands (QUIT, RESET, M and K lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalmo {

struct ScriptLine {
    bool by_time = false;
    uint64_t frame = 0;
    double seconds = 0;
    std::string command;
    int source_line = 0;
};

// Parses script text. On a malformed line returns false and says which.
bool parse_input_script(const std::string &text, std::vector<ScriptLine> &lines, std::string &error);

// Hands out the lines whose moment has come, each once, in script order
// among lines due at the same time.
class ScriptPlayer {
public:
    explicit ScriptPlayer(std::vector<ScriptLine> lines);
    // Lines due now, given the frames received and the seconds since
    // "running" (negative before it).
    std::vector<std::string> due(uint64_t frames, double seconds_running);
    size_t remaining() const;

private:
    std::vector<ScriptLine> lines_;
    std::vector<bool> sent_;
};

}  // namespace kalmo
