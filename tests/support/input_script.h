// What a test writes to the host's command input, and when: lines and raw
// bytes, pauses, and waits on the host's own output ("until 3 frames have
// come out"), so a line can be made to arrive while the core is inside a
// chosen retro_run.
//
// The same script is read from the *.input files beside the probe
// scenarios. One step a line:
//   any other line     sent as it stands, followed by a line feed (an empty
//                      line sends a lone line feed)
//   @frames N          wait until N video frames have come out
//   @status TEXT       wait until a status message containing TEXT came out
//   @sleep MS          wait MS milliseconds
//   @raw TEXT          send TEXT without a line feed; escapes \\ \n \r \t \xHH
//   @bytes N C         send N copies of the byte C, without a line feed
//   @close             close the command input
//   @# ...             comment
// Bytes of consecutive sending steps go out in one write, so a group of
// short lines reaches the host in one piece.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalmo_test {

struct InputStep {
    enum Kind { kSend, kWaitFrames, kWaitStatus, kSleep, kClose };
    Kind kind = kSend;
    std::string text;     // bytes to send, or the status text to wait for
    uint64_t number = 0;  // frames or milliseconds
};

class InputScript {
public:
    InputScript &line(const std::string &text);
    InputScript &bytes(const std::string &raw);
    InputScript &wait_frames(uint64_t count);
    InputScript &wait_status(const std::string &text);
    InputScript &sleep_ms(uint64_t milliseconds);
    InputScript &close();

    const std::vector<InputStep> &steps() const { return steps_; }
    bool empty() const { return steps_.empty(); }

    // Reads the *.input format above; on a malformed line fills `error` and
    // returns what was read before it.
    static InputScript parse(const std::string &text, std::string &error);

private:
    std::vector<InputStep> steps_;
};

// Decodes the escapes of an @raw step.
std::string unescape_input_text(const std::string &text);

}  // namespace kalmo_test
