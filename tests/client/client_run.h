// Running one session through the C interface and keeping what it handed
// out, for the client tests: a copy of every event, in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kalmo_client.h"
#include "probe_workspace.h"

namespace client_test {

struct SeenEvent {
    int type = 0;
    std::string text, state;
    uint32_t width = 0, height = 0, sample_rate = 0, frames = 0;
    std::vector<uint8_t> rgba;
    std::vector<int16_t> samples;
    uint64_t dropped_frames = 0, stream_offset = 0;
    kalmo_client_exit exit = {};
    std::string exit_meaning;
};

SeenEvent copy_event(const kalmo_client_event &event);

// A session over a probe workspace's folders; closes its handle at the end.
struct ClientRun {
    ClientRun(const std::string &host, const std::string &core, const std::string &content,
              int32_t video_policy = KALMO_CLIENT_VIDEO_ALL, uint32_t queue_limit = 0);
    ~ClientRun();
    // Takes events until the session has ended (or `timeout_ms` passes
    // without one), calling `each` on every event as it comes.
    template <typename Each>
    void take_all(Each each, int timeout_ms = 20000);
    void take_all() {
        take_all([](const kalmo_client_event &) {});
    }
    std::vector<std::string> states() const;
    std::vector<std::string> diagnostics() const;
    const SeenEvent *last_of(int type) const;
    size_t count_of(int type) const;

    kalmo_test::ProbeWorkspace workspace;
    kalmo_client *client = nullptr;
    kalmo_client_result started = KALMO_CLIENT_INVALID;
    std::string start_error;
    std::vector<SeenEvent> events;
    kalmo_client_result last_result = KALMO_CLIENT_OK;
};

template <typename Each>
void ClientRun::take_all(Each each, int timeout_ms) {
    kalmo_client_event event;
    while ((last_result = kalmo_client_next_event(client, timeout_ms, &event)) == KALMO_CLIENT_OK) {
        events.push_back(copy_event(event));
        each(event);
    }
}

std::string host_path();
std::string demo_core();
std::string demo_content();
std::string probe_core();
std::string not_a_core();
std::string scenario(const std::string &name);
std::string fake_host();

}  // namespace client_test
