// The client tests' session runner; see client_run.h.
#include "client_run.h"

namespace client_test {

SeenEvent copy_event(const kalmo_client_event &event) {
    SeenEvent seen;
    seen.type = event.type;
    if (event.text) seen.text.assign(event.text, event.text_length);
    if (event.state) seen.state = event.state;
    seen.width = event.width;
    seen.height = event.height;
    if (event.rgba) seen.rgba.assign(event.rgba, event.rgba + size_t(event.width) * event.height * 4);
    seen.sample_rate = event.sample_rate;
    seen.frames = event.frames;
    if (event.samples) seen.samples.assign(event.samples, event.samples + size_t(event.frames) * 2);
    seen.dropped_frames = event.dropped_frames;
    seen.stream_offset = event.stream_offset;
    seen.exit = event.exit;
    if (event.exit.meaning) seen.exit_meaning = event.exit.meaning;
    return seen;
}

ClientRun::ClientRun(const std::string &host, const std::string &core, const std::string &content,
                     int32_t video_policy, uint32_t queue_limit) {
    std::vector<std::string> paths = workspace.host_arguments(core, content);
    kalmo_client_config config;
    kalmo_client_config_init(&config);
    config.host_program = host.c_str();
    for (size_t i = 0; i < 6; i++) config.paths[i] = paths[i].c_str();
    config.video_policy = video_policy;
    config.queue_limit = queue_limit;
    started = kalmo_client_start(&config, &client);
    if (started != KALMO_CLIENT_OK) start_error = kalmo_client_last_error(client);
}

ClientRun::~ClientRun() { kalmo_client_close(client); }

std::vector<std::string> ClientRun::states() const {
    std::vector<std::string> found;
    for (const SeenEvent &event : events)
        if (event.type == KALMO_CLIENT_EVENT_STATUS) found.push_back(event.state);
    return found;
}

std::vector<std::string> ClientRun::diagnostics() const {
    std::vector<std::string> found;
    for (const SeenEvent &event : events)
        if (event.type == KALMO_CLIENT_EVENT_DIAGNOSTIC) found.push_back(event.text);
    return found;
}

const SeenEvent *ClientRun::last_of(int type) const {
    for (size_t i = events.size(); i-- > 0;)
        if (events[i].type == type) return &events[i];
    return nullptr;
}

size_t ClientRun::count_of(int type) const {
    size_t count = 0;
    for (const SeenEvent &event : events) count += event.type == type;
    return count;
}

std::string host_path() { return KALMO_HOST_PATH; }
std::string demo_core() { return DEMO_CORE_PATH; }
std::string demo_content() { return DEMO_CONTENT_PATH; }
std::string probe_core() { return PROBE_CORE_PATH; }
std::string not_a_core() { return NOT_A_CORE_PATH; }
std::string scenario(const std::string &name) { return std::string(PROBE_SCENARIO_DIR) + "/" + name + ".scn"; }
std::string fake_host() { return FAKE_HOST_PATH; }

}  // namespace client_test
