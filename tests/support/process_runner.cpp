// The process runner: fork and exec with three close-on-exec pipes, then one
// poll loop that reads both output pipes, writes the pending input bytes and
// moves the input script on when its wait is over. The packet stream is
// decoded as it arrives so "@frames N" can be answered.
#include "process_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "output_watch.h"

namespace kalmo_test {

namespace {

int64_t now_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Walks the input script: collects the bytes to write and says when a wait
// is over.
struct ScriptWalk {
    const std::vector<InputStep> &steps;
    size_t next = 0;
    int64_t sleep_until = -1;
    std::string pending;
    bool close_requested = false;

    // Moves on as far as the output seen and the clock allow.
    void advance(const OutputWatch &watch) {
        while (next < steps.size() && !close_requested) {
            const InputStep &step = steps[next];
            if (step.kind == InputStep::kSend) {
                pending += step.text;
            } else if (step.kind == InputStep::kWaitFrames) {
                if (!pending.empty() || watch.frames < step.number) return;
            } else if (step.kind == InputStep::kWaitStatus) {
                if (!pending.empty() || !watch.saw_status(step.text)) return;
            } else if (step.kind == InputStep::kSleep) {
                if (!pending.empty()) return;
                if (sleep_until < 0) sleep_until = now_ms() + int64_t(step.number);
                if (now_ms() < sleep_until) return;
                sleep_until = -1;
            } else if (step.kind == InputStep::kClose) {
                close_requested = true;
            }
            next++;
        }
    }

    bool finished() const { return next == steps.size(); }
};

void read_into(int &fd, std::string &sink, OutputWatch *watch) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            sink.append(buffer, size_t(got));
            if (watch) watch->feed(buffer, size_t(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        close_fd(fd);
        return;
    }
}

void write_pending(int &fd, std::string &pending) {
    while (!pending.empty()) {
        ssize_t done = ::write(fd, pending.data(), pending.size());
        if (done > 0) {
            pending.erase(0, size_t(done));
            continue;
        }
        if (done < 0 && errno == EINTR) continue;
        if (done < 0 && errno == EAGAIN) return;
        // The child closed its end: nothing more can be delivered.
        pending.clear();
        close_fd(fd);
        return;
    }
}

pid_t start_child(const RunOptions &options, int in[2], int out[2], int err[2]) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(options.program.c_str()));
    for (const std::string &argument : options.arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(options.share_output_pipe ? out[1] : err[1], 2);
    signal(SIGPIPE, SIG_DFL);
    execv(options.program.c_str(), argv.data());
    _exit(127);
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Both output pipes are closed by now; a child that still does not end
// before the deadline is killed.
void collect_exit(pid_t pid, int64_t deadline, ProcessResult &result) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return;
        if (done == 0 && now_ms() >= deadline && !result.timed_out) {
            result.timed_out = true;
            kill(pid, SIGKILL);
        }
        if (done == 0) usleep(1000);
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

ProcessResult run_process(const RunOptions &options) {
    ProcessResult result;
    // Writing to a child that has gone must fail, not end the test program.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.failure = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    pid_t pid = start_child(options, in, out, err);
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (pid < 0) {
        result.failure = std::string("fork: ") + std::strerror(errno);
        close_fd(in[1]);
        close_fd(out[0]);
        close_fd(err[0]);
        return result;
    }
    int input = in[1], output = out[0], errors = err[0];
    set_nonblocking(input);
    set_nonblocking(output);
    set_nonblocking(errors);

    OutputWatch watch;
    ScriptWalk walk{options.input.steps()};
    int64_t deadline = now_ms() + options.timeout_ms;
    while (output >= 0 || errors >= 0) {
        walk.advance(watch);
        if (walk.pending.empty() && input >= 0 &&
            (walk.close_requested || (walk.finished() && options.close_input_at_end)))
            close_fd(input);
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int count = 0;
        if (output >= 0) fds[count++] = {output, POLLIN, 0};
        if (errors >= 0) fds[count++] = {errors, POLLIN, 0};
        if (input >= 0 && !walk.pending.empty()) fds[count++] = {input, POLLOUT, 0};
        // Short naps keep the sleeps of the script on time.
        int wait = int(left < 20 ? left : 20);
        if (poll(fds, nfds_t(count), wait) < 0 && errno != EINTR) break;
        if (output >= 0) read_into(output, result.out, &watch);
        if (errors >= 0) read_into(errors, result.err, nullptr);
        if (input >= 0 && !walk.pending.empty()) write_pending(input, walk.pending);
    }
    result.script_finished = walk.finished() && walk.pending.empty();
    close_fd(input);
    close_fd(output);
    close_fd(errors);
    collect_exit(pid, deadline, result);
    return result;
}

std::string describe_end(const ProcessResult &result) {
    if (!result.failure.empty()) return "could not start: " + result.failure;
    std::string text = result.timed_out ? "timed out and killed" : "ended";
    if (result.signal) text += ", signal " + std::to_string(result.signal);
    else text += ", exit code " + std::to_string(result.exit_code);
    text += ", " + std::to_string(result.out.size()) + " bytes out, " + std::to_string(result.err.size()) +
            " bytes on standard error";
    if (!result.script_finished) text += ", input script not finished";
    return text;
}

}  // namespace kalmo_test
