// A parent that misbehaves on purpose, for the robustness tests: it can
// close the host's standard input at once or mid-run, read the host's
// standard output slowly, or stop reading it and close its end. It writes
// the command input from the test's own thread, while two threads keep
// reading the output streams, and it measures the child's CPU time. Linux
// only. (tests/support's runner covers the well-behaved parent.)
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace robustness {

struct ParentBehaviour {
    bool close_input_at_start = false;
    // The read end of standard output is closed once this many bytes came.
    size_t close_output_after = SIZE_MAX;
    // Standard output read this many bytes at a time with a pause after
    // each read; 0 reads as fast as the host writes.
    size_t slow_read_bytes = 0;
    int slow_read_pause_ms = 0;
};

struct ChildEnd {
    int exit_code = -1;      // when the child exited normally
    int signal = 0;          // when a signal ended it
    bool timed_out = false;  // killed by the parent
    double cpu_seconds = 0;  // user and system time of the child
    double wall_seconds = 0; // from start to end
};

std::string describe(const ChildEnd &end);

class FaultyParent {
public:
    FaultyParent(const std::string &program, const std::vector<std::string> &arguments,
                 const ParentBehaviour &behaviour = ParentBehaviour());
    ~FaultyParent();
    FaultyParent(const FaultyParent &) = delete;
    FaultyParent &operator=(const FaultyParent &) = delete;

    bool started() const { return pid_ > 0; }
    // Writes every byte (blocking while the pipe is full); false when the
    // host no longer reads its input.
    bool write_input(const std::string &bytes);
    void close_input();
    // Waits until the diagnostic stream holds `text`; false on timeout.
    bool wait_for_diagnostic(const std::string &text, int timeout_ms);
    // Waits for the child to end, killing it after `timeout_ms`.
    ChildEnd wait(int timeout_ms);

    // Everything read so far.
    std::string output() const;
    std::string diagnostics() const;

private:
    void read_output(int fd);
    void read_diagnostics(int fd);

    pid_t pid_ = -1;
    int input_ = -1;
    ParentBehaviour behaviour_;
    double start_seconds_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable diagnostics_grew_;
    std::string output_, diagnostics_;
    std::thread output_reader_, diagnostics_reader_;
    bool ended_ = false;
};

}  // namespace robustness
