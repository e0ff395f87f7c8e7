// The script a test parent plays on the host's command input.
//
// A script is a text file of command lines. Lines are sent to the host as
// they stand, line ending included; consecutive lines go out in one write.
// A line that begins with "#" is a directive for the parent and is not sent:
//
//   #sleep N          wait N milliseconds
//   #wait-frames N    wait until the host has sent N video frames in all
//   #wait-status TEXT wait until a status message containing TEXT has come
//   #close            close the command input now
//   ## rest           send "# rest" (a line that really begins with "#")
//
// Any other "#" line is a comment. The same parser serves the Windows test
// parent and the Linux runner of the tests, so a script means the same on
// both builds. Standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace kalmo {

struct ScriptStep {
    enum Kind { kSend, kSleep, kWaitFrames, kWaitStatus, kClose };
    Kind kind = kSend;
    std::string bytes;   // kSend: bytes to write; kWaitStatus: the text looked for
    uint32_t number = 0;  // kSleep: milliseconds; kWaitFrames: frame count
};

// Splits a script into its steps. Unknown directives are comments, so a
// script never fails to parse.
std::vector<ScriptStep> parse_command_script(const std::string &text);

// Follows the host's protocol output as it arrives, for the waiting
// directives: counts video frames and keeps the status texts.
class OutputWatcher {
public:
    void feed(const void *bytes, size_t count);
    uint32_t frames() const { return frames_; }
    bool saw_status_containing(const std::string &text) const;

private:
    StreamDecoder decoder_;
    uint32_t frames_ = 0;
    std::vector<std::string> statuses_;
};

}  // namespace kalmo
