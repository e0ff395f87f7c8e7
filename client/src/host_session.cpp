// A host session's threads and commands; see host_session.h.
#include "host_session.h"

#include <chrono>
#include <vector>

#include "command_lines.h"

namespace kalmo::client {

namespace {

constexpr size_t kReadChunk = 65536;
// How long the pipes may stay open after the host has ended before what
// holds them (something the core started) is ended too.
constexpr auto kLeftoverGrace = std::chrono::seconds(2);
// A payload with at least this much still missing is read straight into
// place rather than through the chunk buffer.
constexpr size_t kDirectReadRoom = 16384;
constexpr size_t kLongestDiagnosticLine = 65536;
// Commands a host has not taken yet; beyond this it is plainly not reading.
constexpr size_t kMostPendingCommandBytes = 8u << 20;

}  // namespace

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HostSession::HostSession(const SessionConfig &config)
    : config_(config), queue_(config.queue_limit ? config.queue_limit : 64, config.video_policy, pool_) {}

std::unique_ptr<HostSession> HostSession::start(const SessionConfig &config, std::string &error) {
    if (config.host_program.empty()) {
        error = "no host program given";
        return nullptr;
    }
    std::unique_ptr<HostSession> session(new HostSession(config));
    std::vector<std::string> command = {config.host_program};
    command.insert(command.end(), config.paths.begin(), config.paths.end());
    session->process_thread_ = std::thread(&HostSession::run_process, session.get(), std::move(command));
    std::unique_lock<std::mutex> hold(session->lock_);
    session->changed_.wait(hold, [&] { return session->start_done_; });
    if (!session->start_error_.empty()) {
        error = session->start_error_;
        hold.unlock();
        return nullptr;
    }
    return session;
}

HostSession::~HostSession() {
    HostProcess *process = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
        process = process_.get();
        changed_.notify_all();
    }
    queue_.cancel();
    if (process) process->terminate();
    for (std::thread *thread : {&process_thread_, &command_thread_, &dispatch_thread_})
        if (thread->joinable()) thread->join();
}

void HostSession::run_process(std::vector<std::string> command) {
    std::string error;
    std::unique_ptr<HostProcess> process = HostProcess::start(command, error);
    std::unique_lock<std::mutex> hold(lock_);
    if (process) {
        process_ = std::move(process);
        start_threads();
    } else {
        start_error_ = error;
    }
    start_done_ = true;
    changed_.notify_all();
    hold.unlock();
    if (process_) hand_over_exit(wait_for_host());
}

// With lock_ held.
void HostSession::start_threads() {
    try {
        readers_running_ = 2;
        packet_thread_ = std::thread(&HostSession::read_packets, this);
        diagnostic_thread_ = std::thread(&HostSession::read_diagnostics, this);
        command_thread_ = std::thread(&HostSession::write_commands, this);
        if (config_.on_event) dispatch_thread_ = std::thread(&HostSession::dispatch_events, this);
    } catch (const std::exception &failure) {
        start_error_ = std::string("cannot start the session's threads: ") + failure.what();
        readers_running_ = int(packet_thread_.joinable()) + int(diagnostic_thread_.joinable());
        closing_ = true;
        process_->terminate();
    }
}

HostEnd HostSession::wait_for_host() {
    ProcessEnd process_end = process_->wait();
    HostEnd end;
    end.code = process_end.code;
    end.kind = HostEnd::Kind(process_end.kind);
    end.meaning = describe_end(process_end);
    std::lock_guard<std::mutex> hold(lock_);
    if (process_end.terminated) {
        end.kind = HostEnd::kTerminated;
        end.meaning = "terminated by kalmo-client: " + (forced_reason_.empty() ? "the session closed" : forced_reason_);
    }
    ended_ = true;
    end_ = end;
    changed_.notify_all();
    return end;
}

// The exit event comes last, once both streams have been read to their end.
void HostSession::hand_over_exit(HostEnd end) {
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, kLeftoverGrace, [&] { return readers_running_ == 0; })) {
            hold.unlock();
            process_->end_leftovers();
        }
    }
    for (std::thread *reader : {&packet_thread_, &diagnostic_thread_})
        if (reader->joinable()) reader->join();
    // The host says "stopped" right before every exit with code 0; without
    // it, something else ended the host (under Wine a killed process also
    // reports 0).
    if (end.kind == HostEnd::kCode && end.code == 0 && !saw_stopped_) {
        end.meaning = "exit code 0 without the host's \"stopped\" message (ended from outside, or not a kalmo-host)";
        std::lock_guard<std::mutex> hold(lock_);
        end_ = end;
    }
    Event exit;
    exit.type = EventType::kExit;
    exit.text = end.meaning;
    exit.end = end;
    exit.received_ns = monotonic_ns();
    queue_.push(std::move(exit));
    queue_.finish();
}

void HostSession::end_by_force(const std::string &reason) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (ended_) return;
        if (forced_reason_.empty()) forced_reason_ = reason;
    }
    process_->terminate();
}

bool HostSession::deliver(Event &&event) {
    if (event.received_ns == 0) event.received_ns = monotonic_ns();
    return queue_.push(std::move(event));
}

// Counts a reader out however it returns.
struct HostSession::ReaderDone {
    HostSession &session;
    ~ReaderDone() {
        std::lock_guard<std::mutex> hold(session.lock_);
        session.readers_running_--;
        session.changed_.notify_all();
    }
};

void HostSession::read_packets() {
    ReaderDone done{*this};
    PacketParser parser(&pool_);
    std::vector<uint8_t> chunk(kReadChunk);
    // Hands on whatever the parser completed; false when reading must stop.
    auto hand_on = [&]() -> bool {
        if (parser.failed()) {
            Event error;
            error.type = EventType::kError;
            error.text = "the packet stream is out of step: " + parser.error();
            error.stream_offset = parser.error_offset();
            deliver(std::move(error));
            end_by_force("its packet stream was out of step");
            return false;
        }
        if (!parser.has_packet()) return true;
        Event event;
        event.received_ns = monotonic_ns();
        event.packet = parser.take_packet();
        event.stream_offset = event.packet.offset;
        if (event.packet.type == kVideoPacket) {
            event.type = EventType::kVideo;
        } else if (event.packet.type == kAudioPacket) {
            event.type = EventType::kAudio;
        } else {
            event.type = EventType::kStatus;
            const std::vector<uint8_t> &bytes = event.packet.payload;
            event.text.assign(bytes.begin(), bytes.end());
            event.state = status_state(event.text.data(), event.text.size());
            if (event.state == "stopped") saw_stopped_ = true;
            pool_.give_back(std::move(event.packet.payload));
        }
        return deliver(std::move(event));
    };
    for (;;) {
        size_t room = 0;
        uint8_t *direct = parser.payload_room(room);
        if (direct && room >= kDirectReadRoom) {
            size_t got = process_->read_output(direct, room);
            if (got == 0) break;
            parser.commit_payload(got);
            if (!hand_on()) return;
            continue;
        }
        size_t got = process_->read_output(chunk.data(), chunk.size());
        if (got == 0) break;
        for (size_t used = 0; used < got;) {
            used += parser.consume(chunk.data() + used, got - used);
            if (!hand_on()) return;
        }
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        // A host the library ended may stop anywhere; any other end
        // mid-packet is worth telling.
        if (parser.pending() == 0 || !forced_reason_.empty() || closing_) return;
    }
    Event error;
    error.type = EventType::kError;
    error.stream_offset = parser.offset() - parser.pending();
    error.text = "the packet stream ended inside a packet: " + std::to_string(parser.pending()) +
                 " bytes of the packet at stream offset " + std::to_string(error.stream_offset);
    deliver(std::move(error));
}

void HostSession::read_diagnostics() {
    ReaderDone done{*this};
    char chunk[16384];
    std::string line;
    auto emit = [&]() -> bool {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Event event;
        event.type = EventType::kDiagnostic;
        event.text.swap(line);
        return deliver(std::move(event));
    };
    for (;;) {
        size_t got = process_->read_diagnostics(chunk, sizeof chunk);
        if (got == 0) break;
        for (size_t i = 0; i < got; i++) {
            if (chunk[i] != '\n') {
                line += chunk[i];
                if (line.size() < kLongestDiagnosticLine) continue;
            }
            if (!emit()) return;
        }
    }
    if (!line.empty()) emit();
}

void HostSession::write_commands() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return closing_ || !pending_commands_.empty(); });
        if (closing_) return;
        std::string batch;
        batch.swap(pending_commands_);
        hold.unlock();
        bool written = process_->write_input(batch.data(), batch.size());
        hold.lock();
        if (!written) {
            input_gone_ = true;
            pending_commands_.clear();
            return;
        }
    }
}

void HostSession::dispatch_events() {
    Event event;
    while (queue_.pop(event, -1) == EventQueue::kTaken) {
        bool more = config_.on_event(event);
        recycle(event);
        if (!more) return;
    }
}

EventQueue::Take HostSession::next_event(Event &event, int timeout_ms) {
    recycle(event);
    return queue_.pop(event, timeout_ms);
}

void HostSession::recycle(Event &event) {
    if (event.packet.payload.capacity() > 0) pool_.give_back(std::move(event.packet.payload));
    event.packet.payload.clear();
}

SendResult HostSession::send(const std::string &line, std::string &error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (input_gone_ || ended_) {
        error = ended_ ? "the host has ended (" + end_.meaning + ")" : "the host no longer reads its commands";
        return SendResult::kHostGone;
    }
    if (pending_commands_.size() > kMostPendingCommandBytes) {
        error = "the host has not read its last " + std::to_string(pending_commands_.size()) + " bytes of commands";
        return SendResult::kHostGone;
    }
    pending_commands_ += line;
    changed_.notify_all();
    return SendResult::kSent;
}

SendResult HostSession::send_mouse(int32_t dx, int32_t dy, uint32_t buttons, int32_t wheel, int32_t px, int32_t py,
                                   int32_t inside, std::string &error) {
    std::string line = mouse_line(dx, dy, buttons, wheel, px, py, inside, error);
    return line.empty() ? SendResult::kInvalid : send(line, error);
}

SendResult HostSession::send_key(uint32_t keycode, int32_t down, uint32_t character, uint32_t modifiers,
                                 std::string &error) {
    std::string line = key_line(keycode, down, character, modifiers, error);
    return line.empty() ? SendResult::kInvalid : send(line, error);
}

SendResult HostSession::send_line(const std::string &line, std::string &error) {
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        error = "a command line must not hold a line break or NUL";
        return SendResult::kInvalid;
    }
    return send(line + "\n", error);
}

SendResult HostSession::send_reset(std::string &error) { return send(reset_line(), error); }
SendResult HostSession::send_quit(std::string &error) { return send(quit_line(), error); }

bool HostSession::wait_for_end(int timeout_ms, HostEnd &end) {
    std::unique_lock<std::mutex> hold(lock_);
    auto over = [&] { return ended_; };
    if (timeout_ms < 0) changed_.wait(hold, over);
    else if (!changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), over)) return false;
    end = end_;
    return true;
}

HostEnd HostSession::stop(int timeout_ms) {
    // A host blocked writing to a pipe nobody drains would never read QUIT.
    queue_.lift_limit();
    std::string ignored;
    send_quit(ignored);
    HostEnd end;
    if (wait_for_end(timeout_ms, end)) return end;
    end_by_force("it did not stop within " + std::to_string(timeout_ms) + " ms of QUIT");
    wait_for_end(-1, end);
    return end;
}

int64_t HostSession::host_pid() const { return process_ ? process_->pid() : 0; }

}  // namespace kalmo::client
