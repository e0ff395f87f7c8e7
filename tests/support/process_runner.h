// Runs a program the way the parent application runs the host: three pipes,
// a command-input script written while standard output and standard error
// are read at the same time (so neither pipe can fill up and stall the
// child), and the exit code at the end. A run that outlives its timeout is
// killed and reported as such. Linux only.
#pragma once

#include <string>
#include <vector>

#include "input_script.h"

namespace kalmo_test {

struct ProcessResult {
    std::string out;          // every byte of standard output
    std::string err;          // every byte of standard error
    int exit_code = -1;       // when the child exited normally
    int signal = 0;           // when a signal ended it
    bool timed_out = false;   // killed by the runner
    std::string failure;      // the runner could not start the child
    bool script_finished = false;  // every input step was carried out
};

struct RunOptions {
    std::string program;
    std::vector<std::string> arguments;  // without the program name
    InputScript input;
    // Close the command input once the script is done; otherwise it stays
    // open (an idle pipe) until the child ends.
    bool close_input_at_end = false;
    int timeout_ms = 20000;
    // Give the child one pipe for both standard output and standard error,
    // so the order between packets and diagnostic lines can be seen; all
    // bytes then land in `out`, and "@frames"/"@status" waits never end.
    bool share_output_pipe = false;
};

ProcessResult run_process(const RunOptions &options);

// For failure messages: what ended the child and how.
std::string describe_end(const ProcessResult &result);

}  // namespace kalmo_test
