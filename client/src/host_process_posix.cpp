// Linux side of host_process.h: fork and exec on three pipes. Built into
// kalmo-client on every build that is not Windows.
//
// What the child may keep (the security-relevant choice of this file): its
// three pipe ends as descriptors 0, 1 and 2 and nothing else. Every other
// descriptor of the parent is closed between fork and exec, including ones
// the application opened without close-on-exec, so a game never holds the
// parent's sockets or files. The child also dies with its parent: the death
// signal is SIGKILL, armed before exec, and checked against a parent that
// died before it was armed.
#include "host_process.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

namespace kalmo::client {

struct HostProcess::Parts {
    pid_t pid = -1;
    int input = -1, output = -1, diagnostics = -1;
    std::mutex lock;  // guards reaped/end against terminate racing wait
    bool reaped = false;
    bool terminating = false;
    ProcessEnd end;
};

namespace {

void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Between fork and exec only async-signal-safe calls are allowed: no
// allocation, no locks, plain system calls.
void close_descriptors_from(int first) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, unsigned(first), ~0u, 0u) == 0) return;
#endif
    struct rlimit limit;
    int highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? int(limit.rlim_cur) : 65536;
    for (int fd = first; fd < highest; fd++) close(fd);
}

[[noreturn]] void become_host(pid_t parent, int input, int output, int diagnostics, int report, char **argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the death signal was armed.
    if (getppid() != parent) _exit(127);
    // Its own process group keeps a terminal's Ctrl+C for the parent (which
    // then sends QUIT) and lets terminate() reach what the host started.
    setpgid(0, 0);
    // A signal mask survives exec: the host starts with none blocked,
    // whatever the thread that made the session had blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    // Lifted out of the way first: a parent that had closed its own standard
    // streams may have been given pipe ends numbered 0 to 2.
    int lifted[4] = {fcntl(input, F_DUPFD, 10), fcntl(output, F_DUPFD, 10), fcntl(diagnostics, F_DUPFD, 10),
                     fcntl(report, F_DUPFD, 10)};
    // The report pipe stays open as descriptor 3 until exec succeeds.
    if (dup2(lifted[0], 0) < 0 || dup2(lifted[1], 1) < 0 || dup2(lifted[2], 2) < 0 || dup2(lifted[3], 3) < 0 ||
        fcntl(3, F_SETFD, FD_CLOEXEC) < 0) {
        int failure = errno;
        ssize_t ignored = write(report, &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    close_descriptors_from(4);
    execv(argv[0], argv);
    int failure = errno;
    ssize_t ignored = write(3, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

}  // namespace

HostProcess::HostProcess(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

HostProcess::~HostProcess() {
    terminate();
    wait();
    close_fd(parts_->input);
    close_fd(parts_->output);
    close_fd(parts_->diagnostics);
}

std::unique_ptr<HostProcess> HostProcess::start(const std::vector<std::string> &command, std::string &error) {
    if (command.empty() || command[0].empty()) {
        error = "no host program given";
        return nullptr;
    }
    if (access(command[0].c_str(), X_OK) != 0) {
        error = "cannot run the host " + command[0] + ": " + strerror(errno);
        return nullptr;
    }
    int input[2], output[2], diagnostics[2], report[2];
    int made = 0;
    for (int *ends : {input, output, diagnostics, report}) {
        if (pipe2(ends, O_CLOEXEC) != 0) break;
        made++;
    }
    if (made < 4) {
        error = std::string("cannot create the host's pipes: ") + strerror(errno);
        int *all[] = {input, output, diagnostics, report};
        for (int i = 0; i < made; i++) close(all[i][0]), close(all[i][1]);
        return nullptr;
    }
    // The pipe the host writes packets to holds a whole small frame, so the
    // host's writes rarely wait for our reader.
    fcntl(output[1], F_SETPIPE_SZ, 1 << 20);
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) become_host(parent, input[0], output[1], diagnostics[1], report[1], argv.data());
    int fork_failure = errno;
    close(input[0]);
    close(output[1]);
    close(diagnostics[1]);
    close(report[1]);
    int exec_failure = 0;
    ssize_t count = 0;
    if (pid > 0) {
        do count = read(report[0], &exec_failure, sizeof exec_failure);
        while (count < 0 && errno == EINTR);
    }
    close(report[0]);
    if (pid < 0 || count == sizeof exec_failure) {
        error = "cannot start the host " + command[0] + ": " + strerror(pid < 0 ? fork_failure : exec_failure);
        if (pid > 0) waitpid(pid, nullptr, 0);
        close(input[1]);
        close(output[0]);
        close(diagnostics[0]);
        return nullptr;
    }
    auto parts = std::make_unique<Parts>();
    parts->pid = pid;
    parts->input = input[1];
    parts->output = output[0];
    parts->diagnostics = diagnostics[0];
    return std::unique_ptr<HostProcess>(new HostProcess(std::move(parts)));
}

static size_t read_some(int fd, void *into, size_t room) {
    for (;;) {
        ssize_t got = read(fd, into, room);
        if (got >= 0) return size_t(got);
        if (errno != EINTR) return 0;
    }
}

size_t HostProcess::read_output(void *into, size_t room) { return read_some(parts_->output, into, room); }
size_t HostProcess::read_diagnostics(void *into, size_t room) { return read_some(parts_->diagnostics, into, room); }

// Writing to a host that has gone must fail with EPIPE, not end the parent.
// SIGPIPE goes to the thread whose write raised it, so blocking it on the
// (library-owned) writing thread leaves the application's own handling of
// the signal alone; one left pending is taken back after the failed write.
static void hold_broken_pipe_signal() {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
}

static void drop_pending_broken_pipe_signal() {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    timespec none = {0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &none) == SIGPIPE) {
    }
}

bool HostProcess::write_input(const void *bytes, size_t count) {
    hold_broken_pipe_signal();
    const char *next = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t done = write(parts_->input, next, count);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0 && errno == EPIPE) drop_pending_broken_pipe_signal();
        if (done <= 0) return false;
        next += done;
        count -= size_t(done);
    }
    return true;
}

void HostProcess::close_input() { close_fd(parts_->input); }

ProcessEnd HostProcess::wait() {
    if (parts_->pid <= 0) return parts_->end;
    {
        std::lock_guard<std::mutex> hold(parts_->lock);
        if (parts_->reaped) return parts_->end;
    }
    // Wait without reaping, so terminate() can never signal a recycled pid.
    siginfo_t info;
    while (waitid(P_PID, id_t(parts_->pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> hold(parts_->lock);
    if (parts_->reaped) return parts_->end;
    int status = 0;
    while (waitpid(parts_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    parts_->reaped = true;
    if (WIFSIGNALED(status)) parts_->end = {ProcessEnd::kSignal, WTERMSIG(status)};
    else parts_->end = {ProcessEnd::kCode, WEXITSTATUS(status)};
    parts_->end.terminated = parts_->terminating && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return parts_->end;
}

void HostProcess::terminate() {
    std::lock_guard<std::mutex> hold(parts_->lock);
    if (parts_->pid <= 0 || parts_->reaped) return;
    parts_->terminating = true;
    // The whole group: a helper the core started would otherwise keep the
    // pipes open after the host is gone.
    kill(-parts_->pid, SIGKILL);
    kill(parts_->pid, SIGKILL);
}

void HostProcess::end_leftovers() {
    std::lock_guard<std::mutex> hold(parts_->lock);
    // Safe after the host was reaped: a group id is not handed out again
    // while a member of the group lives, and the members are what we are after.
    if (parts_->pid > 0) kill(-parts_->pid, SIGKILL);
}

int64_t HostProcess::pid() const {
    std::lock_guard<std::mutex> hold(parts_->lock);
    return parts_->reaped ? 0 : parts_->pid;
}

}  // namespace kalmo::client
