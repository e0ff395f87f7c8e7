// Child processes on pipes (posix_spawnp, so starting one costs the same for
// every program compared), the packet skimmer, and the scratch folder.
#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

int64_t monotonic_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

bool start_child(const std::vector<std::string> &arguments, child_process &child, bool pipe_output) {
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0) return false;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    if (pipe_output)
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    child.started_ns = monotonic_ns();
    int failed = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    if (failed) {
        close(input[1]);
        close(output[0]);
        child.pid = -1;
        return false;
    }
    child.input = input[1];
    child.output = output[0];
    return true;
}

child_end wait_for_child(child_process &child) {
    child_end end;
    if (child.input >= 0) close(child.input);
    if (child.output >= 0) close(child.output);
    child.input = child.output = -1;
    if (child.pid > 0) wait4(child.pid, &end.status, 0, &end.usage);
    child.pid = -1;
    return end;
}

void packet_skimmer::feed(const uint8_t *bytes, size_t count) {
    total_bytes += count;
    while (count && !broken) {
        if (payload_left_) {
            size_t take = count < payload_left_ ? count : (size_t)payload_left_;
            if (header_[4] == 3) status_.append((const char *)bytes, take);
            bytes += take;
            count -= take;
            payload_left_ -= take;
            if (!payload_left_ && header_[4] == 3) statuses.push_back(status_);
            continue;
        }
        header_[header_fill_++] = *bytes++;
        count--;
        if (header_fill_ < 9) continue;
        header_fill_ = 0;
        if (memcmp(header_, "KLMP", 4) != 0 || header_[4] < 1 || header_[4] > 3) {
            broken = true;
            break;
        }
        payload_left_ = header_[5] | header_[6] << 8 | header_[7] << 16 | (uint64_t)header_[8] << 24;
        if (header_[4] == 1) video_packets++;
        status_.clear();
        if (!payload_left_ && header_[4] == 3) statuses.push_back(status_);
    }
}

bool packet_skimmer::saw_status(const char *state) const {
    std::string wanted = std::string("\"state\":\"") + state + "\"";
    for (const std::string &status : statuses)
        if (status.find(wanted) != std::string::npos) return true;
    return false;
}

uint64_t drain_output(child_process &child, packet_skimmer &skimmer) {
    static uint8_t buffer[1 << 20];
    uint64_t total = 0;
    for (;;) {
        ssize_t got = read(child.output, buffer, sizeof buffer);
        if (got <= 0) break;
        skimmer.feed(buffer, (size_t)got);
        total += (uint64_t)got;
    }
    return total;
}

scratch_folder::scratch_folder() {
    char pattern[] = "/tmp/kalmo-bench-XXXXXX";
    path = mkdtemp(pattern) ? pattern : "/tmp";
}

scratch_folder::~scratch_folder() {
    if (path != "/tmp") std::filesystem::remove_all(path);
}

void write_text_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}
