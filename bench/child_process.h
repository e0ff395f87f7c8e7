// Child processes for the process-level benches: started on pipes, their
// protocol output read and skimmed, and reaped with their resource usage.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

int64_t monotonic_ns();

struct child_process {
    pid_t pid = -1;
    int input = -1;   // the write end of the child's standard input
    int output = -1;  // the read end of its standard output
    int64_t started_ns = 0;
};

// Standard error goes to /dev/null, and standard output too unless it is
// piped to us. A program without a "/" is looked up in PATH. False when the
// program cannot be started.
bool start_child(const std::vector<std::string> &arguments, child_process &child, bool pipe_output = true);

struct child_end {
    int status = -1;
    struct rusage usage = {};
};

// Closes our pipe ends and waits for the child.
child_end wait_for_child(child_process &child);

// Walks the packet headers of a protocol output without keeping payloads:
// counts video packets, keeps the status texts, notices a broken stream.
class packet_skimmer {
public:
    void feed(const uint8_t *bytes, size_t count);
    bool saw_status(const char *state) const;
    uint64_t video_packets = 0;
    uint64_t total_bytes = 0;
    std::vector<std::string> statuses;
    bool broken = false;

private:
    uint8_t header_[9] = {};
    size_t header_fill_ = 0;
    uint64_t payload_left_ = 0;
    std::string status_;
};

// Reads the child's output until it ends, skimming it; returns the bytes read.
uint64_t drain_output(child_process &child, packet_skimmer &skimmer);

// A folder for one bench run's files, removed with everything in it.
struct scratch_folder {
    scratch_folder();
    ~scratch_folder();
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

void write_text_file(const std::string &path, const std::string &text);
std::string read_text_file(const std::string &path);
