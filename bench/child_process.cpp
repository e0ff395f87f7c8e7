// The benches' children through kalmo-client, the output follower, and the
// scratch folder; see child_process.h.
#include "child_process.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The library runs a path; the benches name some programs (wine) by name.
std::string program_path(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

void drop_all(kalmo::client::HostProcess &process, bool standard_output) {
    static thread_local char buffer[1 << 16];
    while ((standard_output ? process.read_output(buffer, sizeof buffer)
                            : process.read_diagnostics(buffer, sizeof buffer)) > 0) {
    }
}

}  // namespace

child_process::~child_process() {
    if (!process_) return;
    process_->terminate();
    finish();
}

bool child_process::start(const std::vector<std::string> &arguments, bool keep_output) {
    std::vector<std::string> command = arguments;
    if (!command.empty()) command[0] = program_path(command[0]);
    std::string error;
    started_ns = monotonic_ns();
    process_ = kalmo::client::HostProcess::start(command, error);
    if (!process_) return false;
    error_drain_ = std::thread(drop_all, std::ref(*process_), false);
    if (!keep_output) output_drain_ = std::thread(drop_all, std::ref(*process_), true);
    return true;
}

size_t child_process::read(void *into, size_t room) { return process_->read_output(into, room); }

bool child_process::send(const std::string &text) { return process_->write_input(text.data(), text.size()); }

kalmo::client::ProcessEnd child_process::finish() {
    if (!process_) return {};
    process_->close_input();
    if (!output_drain_.joinable()) drop_all(*process_, true);
    if (output_drain_.joinable()) output_drain_.join();
    if (error_drain_.joinable()) error_drain_.join();
    kalmo::client::ProcessEnd end = process_->wait();
    process_.reset();
    return end;
}

pid_t child_process::pid() const { return process_ ? pid_t(process_->pid()) : -1; }

bool stream_counts::saw_status(const char *state) const {
    for (const std::string &status : statuses)
        if (kalmo::status_state(status.data(), status.size()) == state) return true;
    return false;
}

bool output_follower::follow(child_process &child, const std::function<bool(const stream_counts &)> &enough) {
    static thread_local uint8_t chunk[1 << 16];
    for (;;) {
        size_t room = 0;
        uint8_t *direct = parser_.failed() ? nullptr : parser_.payload_room(room);
        // Large payloads are read straight into place; the rest through the chunk.
        if (room < sizeof chunk) direct = nullptr;
        size_t got = direct ? child.read(direct, room) : child.read(chunk, sizeof chunk);
        if (got == 0) return false;
        counts.total_bytes += got;
        if (parser_.failed()) continue;
        if (direct) parser_.commit_payload(got);
        for (size_t used = direct ? got : 0;;) {
            while (parser_.has_packet()) {
                kalmo::Packet packet = parser_.take_packet();
                if (packet.type == kalmo::kVideoPacket) counts.video_packets++;
                if (packet.type == kalmo::kStatusPacket) counts.statuses.push_back(kalmo::status_text(packet));
                pool_.give_back(std::move(packet.payload));
            }
            if (parser_.failed()) counts.broken = true;
            if (parser_.failed() || used >= got) break;
            used += parser_.consume(chunk + used, got - used);
        }
        // Checked once the chunk is used up, so no byte read is left behind.
        if (enough(counts)) return true;
    }
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
