// One run of kalmo-host, seen from its parent: the internal C++ API of
// kalmo-client, for the project's own tools (recorder, viewer, test parent,
// bench). Other programs use the C interface, include/kalmo_client.h, which
// is a thin layer over this class.
//
// A session owns the host process and four threads: one that starts the host
// and waits for its end (on Linux the host's death signal is tied to the
// thread that forked it, so that thread lives as long as the host), one
// reading packets, one reading diagnostic lines, and one writing commands
// (so a host that stops reading can never block the caller). With a
// callback, a fifth thread hands it the events in order.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host_process.h"
#include "session_event.h"
#include "stream_decoder.h"

namespace kalmo::client {

struct SessionConfig {
    std::string host_program;
    std::array<std::string, 6> paths;  // core, content, system, save, assets, playlist
    size_t queue_limit = 64;
    VideoPolicy video_policy = VideoPolicy::kAll;
    // Optional: called on the session's own thread for each event, in order;
    // returning false stops the calls (events then wait for next_event).
    std::function<bool(const Event &)> on_event;
};

enum class SendResult { kSent, kInvalid, kHostGone };

class HostSession {
public:
    // Null with `error` set when the host cannot be started.
    static std::unique_ptr<HostSession> start(const SessionConfig &config, std::string &error);
    // Ends a host still running (at once), stops the threads.
    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    // The next event; the exit event is always the last. Give payloads back
    // with recycle() once done, to spare allocations.
    EventQueue::Take next_event(Event &event, int timeout_ms);
    void recycle(Event &event);
    bool has_callback() const { return bool(config_.on_event); }

    // Each command as one whole line; kInvalid with `error` for values out
    // of range, kHostGone once the host no longer reads.
    SendResult send_mouse(int32_t dx, int32_t dy, uint32_t buttons, int32_t wheel, int32_t px, int32_t py,
                          int32_t inside, std::string &error);
    SendResult send_key(uint32_t keycode, int32_t down, uint32_t character, uint32_t modifiers, std::string &error);
    SendResult send_reset(std::string &error);
    SendResult send_quit(std::string &error);
    // A command line given by someone else, passed on as it stands (the
    // recorder replays its script's lines); kInvalid when it holds a line
    // break or NUL, so it stays one line. Not in the C interface, whose
    // parents send checked commands.
    SendResult send_line(const std::string &line, std::string &error);

    // QUIT, then up to timeout_ms (negative: no limit) for the host to end,
    // then terminate it. Returns how it ended.
    HostEnd stop(int timeout_ms);
    // Waits up to timeout_ms for the host to end by itself; true once ended.
    bool wait_for_end(int timeout_ms, HostEnd &end);
    int64_t host_pid() const;
    uint64_t dropped_frames() const { return queue_.dropped_total(); }

private:
    explicit HostSession(const SessionConfig &config);
    void run_process(std::vector<std::string> command);
    void start_threads();
    HostEnd wait_for_host();
    void hand_over_exit(HostEnd end);
    struct ReaderDone;
    void read_packets();
    void read_diagnostics();
    void write_commands();
    void dispatch_events();
    bool deliver(Event &&event);
    void end_by_force(const std::string &reason);
    SendResult send(const std::string &line, std::string &error);

    SessionConfig config_;
    PayloadPool pool_;
    EventQueue queue_;
    std::unique_ptr<HostProcess> process_;

    std::mutex lock_;
    std::condition_variable changed_;
    bool start_done_ = false;
    std::string start_error_;
    bool ended_ = false;
    HostEnd end_;
    std::string forced_reason_;  // why the library ended the host, if it did
    std::string pending_commands_;
    bool input_gone_ = false;
    bool closing_ = false;
    std::atomic<bool> saw_stopped_{false};  // the host's own "stopped" status came
    int readers_running_ = 0;

    std::thread process_thread_, packet_thread_, diagnostic_thread_, command_thread_, dispatch_thread_;
};

// The host's exit codes and the ends of a process, in words.
const char *exit_code_meaning(int64_t code);
std::string describe_end(const ProcessEnd &end);
int64_t monotonic_ns();

}  // namespace kalmo::client
