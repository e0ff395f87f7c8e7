// The one door from kalmo-client to the operating system: start the host on
// three pipes, read and write those pipes, wait for the host, end it.
// host_process_posix.cpp and host_process_win32.cpp give these calls the same
// meaning; nothing else in the library includes a system header.
//
// Internal C++ API (not part of kalmo_client.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kalmo::client {

// How a process ended, as the system reports it.
struct ProcessEnd {
    enum Kind { kCode = 1, kSignal = 2, kException = 3 } kind = kCode;
    int64_t code = 0;  // exit code, signal number or exception code
    bool terminated = false;  // ended by terminate()
};

class HostProcess {
public:
    // Starts `command[0]` with the rest as its arguments (UTF-8). Returns
    // null and says why in `error` when the program, the pipes or the
    // process cannot be made. On Linux the child is tied to the calling
    // thread's life (the death signal fires when the thread that forked
    // exits), so call it from a thread that outlives the host.
    static std::unique_ptr<HostProcess> start(const std::vector<std::string> &command, std::string &error);
    ~HostProcess();

    // Blocking reads: bytes read, 0 at the end of the stream (or an error).
    size_t read_output(void *into, size_t room);
    size_t read_diagnostics(void *into, size_t room);
    // Writes every byte or fails (the host has closed its input or ended).
    // On Linux it blocks SIGPIPE on the calling thread for good: call it
    // from a thread of the library's own.
    bool write_input(const void *bytes, size_t count);
    void close_input();

    // Blocks until the host has ended; the end is remembered, so later calls
    // return at once.
    ProcessEnd wait();
    // Ends the host and whatever it started, at once. Does nothing once it
    // has ended.
    void terminate();
    // The exit code terminate() gives a Windows host: 128 + SIGKILL, as a
    // shell would report a killed program.
    static constexpr uint32_t kTerminatedCode = 137;
    // Ends what the host started and left holding its pipes after it ended
    // (its process group on Linux, its job on Windows).
    void end_leftovers();
    int64_t pid() const;

    struct Parts;

private:
    explicit HostProcess(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

// Conversions for the Windows command line, kept here beside the spawner
// that needs them but free of system calls so every build can test them.
// UTF-8 to UTF-16; false (and `error` set) on bytes that are not UTF-8.
bool utf8_to_utf16(const std::string &text, std::u16string &wide, std::string &error);
std::string utf16_to_utf8(const std::u16string &wide);
// The command line CommandLineToArgvW turns back into exactly `arguments`.
std::u16string windows_command_line(const std::vector<std::u16string> &arguments);

}  // namespace kalmo::client
