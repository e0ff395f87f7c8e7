// Running kalmo-host as a child, for the parent-side tools (recorder and
// viewer): start it with its three standard streams on pipes, exchange bytes
// with it without ever blocking on one stream while another fills, and end
// it (politely with QUIT, then by force) while learning how it ended.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kalmo {

// The six paths of the host's command line, after the program itself.
struct HostPaths {
    std::string core, content, system, save, assets, playlist;
};

struct HostExit {
    bool exited = false;  // ended by itself, with `code`
    int code = 0;
    int signal = 0;  // or ended by this signal
};

std::string describe_exit(const HostExit &status);

class HostProcess {
public:
    using Sink = std::function<void(const char *bytes, size_t count)>;

    HostProcess() = default;
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;
    // Kills and reaps a host that is still running.
    ~HostProcess();

    // Starts `host_program` with the six paths. The child gets the pipes as
    // its standard streams and nothing else of ours, runs in its own process
    // group and is killed if this process dies. Ignores SIGPIPE in this
    // process, so writing to a host that has died does not end the parent.
    bool start(const std::string &host_program, const HostPaths &paths, std::string &error);

    // Queues one command line; the line feed is added here.
    void send_line(const std::string &line);

    // Waits at most `timeout_ms` for output or room to write, then moves
    // what is available: protocol bytes to `on_output`, diagnostic bytes to
    // `on_diagnostics`, queued commands to the host.
    void pump(int timeout_ms, const Sink &on_output, const Sink &on_diagnostics);

    bool output_open() const { return output_fd_ >= 0; }
    bool diagnostics_open() const { return diagnostics_fd_ >= 0; }
    size_t unsent_bytes() const { return pending_input_.size(); }

    // True once the host has ended; `status` then says how. Never blocks.
    bool poll_exit(HostExit &status);
    void kill_now();
    pid_t pid() const { return pid_; }

private:
    void read_into(int &fd, const Sink &sink);
    void write_pending();
    void close_all();

    pid_t pid_ = -1;
    int input_fd_ = -1, output_fd_ = -1, diagnostics_fd_ = -1;
    std::string pending_input_;
    bool reaped_ = false;
    HostExit exit_status_;
};

}  // namespace kalmo
