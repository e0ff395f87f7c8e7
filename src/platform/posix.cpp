// Linux layer: gives each operation the meaning the host relies on from its
// Windows counterpart. Handles are file descriptors plus one (so that fd 0 is
// not the null handle); the core library is loaded with dlopen from the bytes
// of argv, which are already the path. The program starts in main, which
// keeps argv and hands over to host_main.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

static int saved_argc;
static char **saved_argv;

static platform_handle handle_of(int fd) { return fd < 0 ? PLATFORM_INVALID_HANDLE : (platform_handle)(intptr_t)(fd + 1); }
static int fd_of(platform_handle handle) {
    if (handle == nullptr || handle == PLATFORM_INVALID_HANDLE) return -1;
    return (int)(intptr_t)handle - 1;
}

// Any non-null value: blocks come from malloc.
platform_handle platform_get_process_heap(void) { return (platform_handle)&saved_argc; }

void *platform_heap_alloc(platform_handle, size_t size) { return malloc(size ? size : 1); }

void platform_heap_free(platform_handle, void *block) { free(block); }

platform_handle platform_get_std_handle(enum platform_std_stream stream) {
    if (stream == PLATFORM_STD_INPUT) return handle_of(0);
    if (stream == PLATFORM_STD_ERROR) return handle_of(2);
    // A duplicate keeps reaching the parent once fd 1 is replaced.
    int fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    return fd < 0 ? PLATFORM_INVALID_HANDLE : handle_of(fd);
}

platform_handle platform_open_null_device(void) { return handle_of(open("/dev/null", O_WRONLY | O_CLOEXEC)); }

void platform_set_std_output(platform_handle handle) {
    int fd = fd_of(handle);
    if (fd >= 0) dup2(fd, 1);
}

void platform_close_handle(platform_handle handle) {
    int fd = fd_of(handle);
    if (fd >= 0) close(fd);
}

// The vector is the process's own argv; there is nothing to split or free.
platform_char **platform_split_command_line(int *count) {
    *count = saved_argc;
    return saved_argv;
}

void platform_free_argument_vector(platform_char **) {}

int platform_to_utf8(const platform_char *text, char *out, int out_size) {
    size_t size = strlen(text) + 1;
    if (size > 0x7fffffff) return 0;
    if (out_size == 0) return (int)size;
    if ((size_t)out_size < size) return 0;
    memcpy(out, text, size);
    return (int)size;
}

bool platform_write(platform_handle handle, const void *bytes, uint32_t count, uint32_t *written) {
    *written = 0;
    ssize_t done;
    do done = write(fd_of(handle), bytes, count);
    while (done < 0 && errno == EINTR);
    if (done < 0) return false;
    *written = (uint32_t)done;
    return true;
}

bool platform_read(platform_handle handle, void *bytes, uint32_t count, uint32_t *delivered) {
    *delivered = 0;
    ssize_t done;
    do done = read(fd_of(handle), bytes, count);
    while (done < 0 && errno == EINTR);
    if (done < 0) return false;
    *delivered = (uint32_t)done;
    return true;
}

// Like PeekNamedPipe: fails on anything but a pipe or socket, and once the
// writer has gone and nothing is left to read.
bool platform_peek_pipe(platform_handle handle, uint32_t *available) {
    *available = 0;
    int fd = fd_of(handle);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) return false;
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0) return false;
    if (count > 0) {
        *available = (uint32_t)count;
        return true;
    }
    struct pollfd probe = {fd, POLLIN, 0};
    if (poll(&probe, 1, 0) < 0) return false;
    return !(probe.revents & (POLLHUP | POLLERR | POLLNVAL));
}

platform_handle platform_open_file_for_reading(const platform_char *path) {
    return handle_of(open(path, O_RDONLY | O_CLOEXEC));
}

bool platform_file_size(platform_handle file, uint64_t *size) {
    struct stat info;
    if (fstat(fd_of(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    *size = (uint64_t)info.st_size;
    return true;
}

platform_library platform_load_library(const platform_char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void *platform_get_proc_address(platform_library library, const char *name) { return dlsym(library, name); }

void platform_free_library(platform_library library) { dlclose(library); }

int64_t platform_counter_frequency(void) { return 1000000000; }

int64_t platform_counter(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

void platform_sleep(uint32_t milliseconds) {
    struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// nanosleep already wakes within a fraction of a millisecond.
bool platform_request_timer_resolution(uint32_t) { return false; }

void platform_release_timer_resolution(uint32_t) {}

void platform_exit_process(uint32_t code) { _exit((int)code); }

int main(int argc, char **argv) {
    // A write to a closed pipe must fail, not kill the host.
    signal(SIGPIPE, SIG_IGN);
    saved_argc = argc;
    saved_argv = argv;
    host_main();
}
