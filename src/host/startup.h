// Start-up, the exit codes and the clean-up every exit but the first runs.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum exit_code {
    EXIT_STOPPED = 0,
    EXIT_BAD_COMMAND_LINE = 2,
    EXIT_LIBRARY_NOT_LOADED = 3,
    EXIT_EXPORT_MISSING = 4,
    EXIT_CONTENT_REFUSED = 5,
};

// Captures heap and handles, redirects standard output, splits and converts
// the command line. Ends the process with code 2 on a bad command line.
void start_up(void);
// Releases what start-up and video hold, closes the NUL handle, exits.
[[noreturn]] void exit_with_cleanup(uint32_t code);
