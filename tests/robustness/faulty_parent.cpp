// The faulty parent: fork and exec with three close-on-exec pipes, a reader
// thread per output stream, and wait4 for the exit code and the CPU time.
#include "faulty_parent.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace robustness {

namespace {

double now_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double seconds_of(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

}  // namespace

std::string describe(const ChildEnd &end) {
    if (end.timed_out) return "killed after the timeout";
    if (end.signal) return "ended by signal " + std::to_string(end.signal);
    return "exited with code " + std::to_string(end.exit_code);
}

FaultyParent::FaultyParent(const std::string &program, const std::vector<std::string> &arguments,
                           const ParentBehaviour &behaviour)
    : behaviour_(behaviour) {
    // Writing to a host that is gone must fail, not kill the test.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    start_seconds_ = now_seconds();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    if (behaviour_.close_input_at_start) close_input();
    output_reader_ = std::thread(&FaultyParent::read_output, this, out[0]);
    diagnostics_reader_ = std::thread(&FaultyParent::read_diagnostics, this, err[0]);
}

FaultyParent::~FaultyParent() {
    if (pid_ > 0 && !ended_) wait(0);
    close_input();
    if (output_reader_.joinable()) output_reader_.join();
    if (diagnostics_reader_.joinable()) diagnostics_reader_.join();
}

bool FaultyParent::write_input(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void FaultyParent::close_input() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void FaultyParent::read_output(int fd) {
    std::vector<char> buffer(1 << 16);
    size_t total = 0;
    for (;;) {
        size_t want = buffer.size();
        if (behaviour_.slow_read_bytes) want = std::min(want, behaviour_.slow_read_bytes);
        if (behaviour_.close_output_after != SIZE_MAX)
            want = std::min(want, behaviour_.close_output_after - total);
        if (want == 0) break;
        ssize_t n = ::read(fd, buffer.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += size_t(n);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            output_.append(buffer.data(), size_t(n));
        }
        if (behaviour_.slow_read_pause_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(behaviour_.slow_read_pause_ms));
    }
    close(fd);
}

void FaultyParent::read_diagnostics(int fd) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        diagnostics_.append(buffer, size_t(n));
        diagnostics_grew_.notify_all();
    }
    close(fd);
}

bool FaultyParent::wait_for_diagnostic(const std::string &text, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return diagnostics_grew_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [&] { return diagnostics_.find(text) != std::string::npos; });
}

ChildEnd FaultyParent::wait(int timeout_ms) {
    ChildEnd end;
    if (pid_ <= 0 || ended_) return end;
    double deadline = now_seconds() + timeout_ms / 1000.0;
    int status = 0;
    rusage usage{};
    for (;;) {
        pid_t done = wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) break;
        if (now_seconds() >= deadline) {
            kill(pid_, SIGKILL);
            wait4(pid_, &status, 0, &usage);
            end.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ended_ = true;
    end.wall_seconds = now_seconds() - start_seconds_;
    end.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    if (WIFEXITED(status)) end.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    close_input();
    if (output_reader_.joinable()) output_reader_.join();
    if (diagnostics_reader_.joinable()) diagnostics_reader_.join();
    return end;
}

std::string FaultyParent::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string FaultyParent::diagnostics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return diagnostics_;
}

}  // namespace robustness
