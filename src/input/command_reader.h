// The command-input reader: QUIT, RESET, mouse and key lines from the parent.
#pragma once

#include <stdint.h>

// Takes what the pipe holds now without blocking and executes every complete
// line in order. A nested call (from inside the core's reset or keyboard
// callback) returns at once.
void poll_command_input(void);

struct command_reader_state {
    char line_buffer[8192];
    uint32_t line_fill;
    uint32_t mouse_line_count;
    // Set while the bytes of a line longer than the buffer are being dropped.
    bool discarding;
    bool busy;
};

extern command_reader_state command_reader;
