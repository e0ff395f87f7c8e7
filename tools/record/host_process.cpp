// The child process and its pipes; see host_process.h.
#include "host_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kalmo {

std::string describe_exit(const HostExit &status) {
    if (status.exited) return "exit code " + std::to_string(status.code);
    std::string name = strsignal(status.signal) ? strsignal(status.signal) : "unknown signal";
    return "killed by signal " + std::to_string(status.signal) + " (" + name + ")";
}

HostProcess::~HostProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_all();
}

void HostProcess::close_all() {
    for (int *fd : {&input_fd_, &output_fd_, &diagnostics_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool HostProcess::start(const std::string &host_program, const HostPaths &paths, std::string &error) {
    signal(SIGPIPE, SIG_IGN);
    int input[2], output[2], diagnostics[2], exec_report[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(diagnostics, O_CLOEXEC) != 0 ||
        pipe2(exec_report, O_CLOEXEC) != 0) {
        error = std::string("cannot create pipes: ") + strerror(errno);
        return false;
    }
    std::vector<std::string> words = {host_program, paths.core,  paths.content, paths.system,
                                      paths.save,   paths.assets, paths.playlist};
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // The host keeps running when its parent vanishes (its input simply
        // ends), so it is tied to this process's life; its own process group
        // keeps a terminal's Ctrl+C for the parent, which then sends QUIT.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        // dup2 onto 0, 1 and 2 clears close-on-exec there; every other pipe
        // end closes at exec by itself.
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(diagnostics[1], 2);
        execv(host_program.c_str(), argv.data());
        int failure = errno;
        ssize_t ignored = write(exec_report[1], &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    int fork_failure = errno;
    close(input[0]);
    close(output[1]);
    close(diagnostics[1]);
    close(exec_report[1]);
    input_fd_ = input[1];
    output_fd_ = output[0];
    diagnostics_fd_ = diagnostics[0];
    int exec_failure = 0;
    bool exec_failed = false;
    if (pid_ > 0) {
        ssize_t count;
        do count = read(exec_report[0], &exec_failure, sizeof exec_failure);
        while (count < 0 && errno == EINTR);
        exec_failed = count == sizeof exec_failure;
    }
    close(exec_report[0]);
    if (pid_ < 0 || exec_failed) {
        error = "cannot start " + host_program + ": " + strerror(pid_ < 0 ? fork_failure : exec_failure);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
        close_all();
        return false;
    }
    for (int fd : {input_fd_, output_fd_, diagnostics_fd_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

void HostProcess::send_line(const std::string &line) {
    pending_input_ += line;
    pending_input_ += '\n';
}

void HostProcess::read_into(int &fd, const Sink &sink) {
    char buffer[65536];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            sink(buffer, size_t(count));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close(fd);
        fd = -1;
        return;
    }
}

void HostProcess::write_pending() {
    while (!pending_input_.empty() && input_fd_ >= 0) {
        ssize_t count = write(input_fd_, pending_input_.data(), pending_input_.size());
        if (count > 0) {
            pending_input_.erase(0, size_t(count));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // The host has closed its end: nothing more can reach it.
        pending_input_.clear();
        close(input_fd_);
        input_fd_ = -1;
    }
}

void HostProcess::pump(int timeout_ms, const Sink &on_output, const Sink &on_diagnostics) {
    pollfd fds[3];
    int count = 0;
    if (output_fd_ >= 0) fds[count++] = {output_fd_, POLLIN, 0};
    if (diagnostics_fd_ >= 0) fds[count++] = {diagnostics_fd_, POLLIN, 0};
    if (input_fd_ >= 0 && !pending_input_.empty()) fds[count++] = {input_fd_, POLLOUT, 0};
    if (count > 0) {
        poll(fds, nfds_t(count), timeout_ms);
    } else if (timeout_ms > 0) {
        usleep(useconds_t(timeout_ms) * 1000);
    }
    if (output_fd_ >= 0) read_into(output_fd_, on_output);
    if (diagnostics_fd_ >= 0) read_into(diagnostics_fd_, on_diagnostics);
    write_pending();
}

bool HostProcess::poll_exit(HostExit &status) {
    if (pid_ <= 0) return false;
    if (!reaped_) {
        int raw = 0;
        pid_t result = waitpid(pid_, &raw, WNOHANG);
        if (result != pid_) return false;
        reaped_ = true;
        exit_status_.exited = WIFEXITED(raw);
        exit_status_.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 0;
        exit_status_.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    }
    status = exit_status_;
    return true;
}

void HostProcess::kill_now() {
    if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
}

}  // namespace kalmo
