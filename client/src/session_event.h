// What a host session hands its parent, and the bounded queue that carries it
// from the reader threads to whoever takes events (internal C++ API of
// kalmo-client; the C interface copies these into kalmo_client_event).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "stream_decoder.h"

namespace kalmo::client {

enum class EventType { kStatus = 1, kVideo = 2, kAudio = 3, kDiagnostic = 4, kError = 5, kExit = 6 };
enum class VideoPolicy { kAll = 0, kLatest = 1 };

// How the host ended, with kind numbered as kalmo_client_exit_kind.
struct HostEnd {
    enum Kind { kCode = 1, kSignal = 2, kException = 3, kTerminated = 4 } kind = kCode;
    int64_t code = 0;
    std::string meaning;
};

struct Event {
    EventType type = EventType::kStatus;
    std::string text;    // status JSON, diagnostic line, error message, exit meaning
    std::string state;   // status: its "state"
    Packet packet;       // video and audio: the whole payload, sizes first
    uint64_t dropped_frames = 0;
    uint64_t stream_offset = 0;
    int64_t received_ns = 0;
    HostEnd end;  // exit

    uint32_t width() const { return word(0); }
    uint32_t height() const { return word(1); }
    const uint8_t *rgba() const { return packet.payload.data() + 8; }
    uint32_t sample_rate() const { return word(0); }
    uint32_t frames() const { return word(1); }
    // The stream's samples are little-endian, as are both systems built for.
    const int16_t *samples() const { return reinterpret_cast<const int16_t *>(packet.payload.data() + 8); }

private:
    uint32_t word(int index) const {
        const uint8_t *p = packet.payload.data() + index * 4;
        return packet.payload.size() < 8 ? 0 : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                                   uint32_t(p[3]) << 24;
    }
};

// Bounded, in stream order. Pushing waits while it is full, which in turn
// makes the host wait on its pipe; under the latest-video policy a video
// frame instead replaces an untaken one, and the replaced frames are counted
// and reported on the next video event taken. Audio, status and the rest are
// never dropped.
class EventQueue {
public:
    EventQueue(size_t limit, VideoPolicy policy, PayloadPool &pool) : limit_(limit), policy_(policy), pool_(pool) {}

    // False when the queue was cancelled (the session is closing).
    bool push(Event &&event);
    enum Take { kTaken, kTimeout, kEnded };
    // Waits up to timeout_ms (negative: no limit).
    Take pop(Event &into, int timeout_ms);
    // No more events will come: once empty, pop says kEnded.
    void finish();
    // Wakes and refuses everyone, for closing.
    void cancel();
    // From now on pushing never waits: a host being stopped must be able to
    // write its last packets even when nobody takes events.
    void lift_limit();
    uint64_t dropped_total() const;

private:
    const size_t limit_;
    const VideoPolicy policy_;
    PayloadPool &pool_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Event> events_;
    uint64_t dropped_unreported_ = 0, dropped_total_ = 0;
    bool finished_ = false, cancelled_ = false, unlimited_ = false;
};

}  // namespace kalmo::client
