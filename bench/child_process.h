// Child processes for the process-level benches, started and read through
// kalmo-client's spawner (the one every parent of the project uses), so the
// host, the floors and Wine all start the same way: the program on three
// pipes, its standard error read and dropped on a thread of its own. Their
// protocol output is followed with the library's packet parser.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"
#include "host_session.h"
#include "stream_decoder.h"

using kalmo::client::monotonic_ns;

class child_process {
public:
    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    // Ends and reaps a child still running.
    ~child_process();

    // A program without a "/" is looked up in PATH. Unless `keep_output`,
    // its standard output is read and dropped too. False when it cannot be
    // started.
    bool start(const std::vector<std::string> &arguments, bool keep_output = true);
    // Blocking read of its standard output; 0 at its end.
    size_t read(void *into, size_t room);
    // To its standard input; false once it no longer reads.
    bool send(const std::string &text);
    // Closes its input, drops what is left of its output, and waits: how it ended.
    kalmo::client::ProcessEnd finish();
    pid_t pid() const;

    int64_t started_ns = 0;

private:
    std::unique_ptr<kalmo::client::HostProcess> process_;
    std::thread error_drain_, output_drain_;
};

// What a protocol output held: its video packets, its status texts, whether
// the stream broke, and its size.
struct stream_counts {
    uint64_t video_packets = 0;
    uint64_t total_bytes = 0;
    std::vector<std::string> statuses;
    bool broken = false;
    bool saw_status(const char *state) const;
};

// Reads the child's output through the library's parser, payloads straight
// into place, until `enough` says so after a packet (true) or the output
// ends (false). A broken stream is drained to its end and counted as such.
class output_follower {
public:
    bool follow(child_process &child, const std::function<bool(const stream_counts &)> &enough);
    // Everything up to the end of the output.
    void drain(child_process &child) { follow(child, [](const stream_counts &) { return false; }); }
    stream_counts counts;

private:
    kalmo::PayloadPool pool_;
    kalmo::PacketParser parser_{&pool_};
};

// A folder for one bench run's files, removed with everything in it.
struct scratch_folder {
    scratch_folder();
    ~scratch_folder();
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

void write_text_file(const std::string &path, const std::string &text);
std::string read_text_file(const std::string &path);
