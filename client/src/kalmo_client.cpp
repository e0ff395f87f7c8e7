// The C interface (include/kalmo_client.h) over HostSession: checks the
// arguments, turns C++ events into kalmo_client_event, keeps each thread's
// last error text, and lets no exception cross into the caller.
#include "kalmo_client.h"

#include <new>
#include <string>

#include "host_session.h"

using kalmo::client::Event;
using kalmo::client::EventQueue;
using kalmo::client::EventType;
using kalmo::client::HostEnd;
using kalmo::client::HostSession;
using kalmo::client::SendResult;

struct kalmo_client {
    std::unique_ptr<HostSession> session;
    Event current;  // the event last handed out by next_event
    std::mutex ends_lock;
    // Every exit meaning handed out by stop lives until close.
    std::vector<std::unique_ptr<std::string>> meanings;
};

namespace {

struct LastError {
    const kalmo_client *client = nullptr;
    std::string text;
};
thread_local LastError last_error;

kalmo_client_result fail(const kalmo_client *client, kalmo_client_result result, const std::string &text) {
    last_error.client = client;
    last_error.text = text;
    return result;
}

void fill_exit(const HostEnd &end, const char *meaning, kalmo_client_exit &out) {
    out.kind = int32_t(end.kind);
    out.exit_code = end.code;
    out.meaning = meaning;
}

void fill_event(const Event &from, kalmo_client_event &to) {
    to = kalmo_client_event{};
    to.type = int32_t(from.type);
    to.text = from.text.c_str();
    to.text_length = from.text.size();
    to.state = from.type == EventType::kStatus ? from.state.c_str() : nullptr;
    to.stream_offset = from.stream_offset;
    to.received_ns = from.received_ns;
    if (from.type == EventType::kVideo) {
        to.width = from.width();
        to.height = from.height();
        to.rgba = from.rgba();
        to.dropped_frames = from.dropped_frames;
    } else if (from.type == EventType::kAudio) {
        to.sample_rate = from.sample_rate();
        to.frames = from.frames();
        to.samples = from.samples();
    } else if (from.type == EventType::kExit) {
        fill_exit(from.end, from.text.c_str(), to.exit);
    }
}

kalmo_client_result send_result(kalmo_client *client, SendResult result, const std::string &error) {
    if (result == SendResult::kInvalid) return fail(client, KALMO_CLIENT_INVALID, error);
    if (result == SendResult::kHostGone) return fail(client, KALMO_CLIENT_HOST_GONE, error);
    return KALMO_CLIENT_OK;
}

// Runs `body`, turning an escaping exception into a failure result.
template <typename Body>
kalmo_client_result guarded(kalmo_client *client, Body body) {
    if (!client || !client->session)
        return fail(client, KALMO_CLIENT_INVALID, client ? "the session did not start" : "no client handle given");
    try {
        return body(*client->session);
    } catch (const std::bad_alloc &) {
        return fail(client, KALMO_CLIENT_SYSTEM, "out of memory");
    } catch (const std::exception &failure) {
        return fail(client, KALMO_CLIENT_SYSTEM, failure.what());
    }
}

}  // namespace

extern "C" {

const char *kalmo_client_version(void) { return KALMO_CLIENT_VERSION; }

void kalmo_client_config_init(kalmo_client_config *config) {
    if (config) *config = kalmo_client_config{};
}

kalmo_client_result kalmo_client_start(const kalmo_client_config *config, kalmo_client **client) {
    if (!client) return fail(nullptr, KALMO_CLIENT_INVALID, "no place given for the client handle");
    *client = new (std::nothrow) kalmo_client;
    if (!*client) return fail(nullptr, KALMO_CLIENT_SYSTEM, "out of memory");
    kalmo_client *handle = *client;
    if (!config || !config->host_program) return fail(handle, KALMO_CLIENT_INVALID, "no host program given");
    if (config->video_policy != KALMO_CLIENT_VIDEO_ALL && config->video_policy != KALMO_CLIENT_VIDEO_LATEST)
        return fail(handle, KALMO_CLIENT_INVALID, "unknown video policy " + std::to_string(config->video_policy));
    try {
        kalmo::client::SessionConfig settings;
        settings.host_program = config->host_program;
        for (int i = 0; i < 6; i++) {
            if (!config->paths[i]) return fail(handle, KALMO_CLIENT_INVALID, "path " + std::to_string(i) + " is missing");
            settings.paths[size_t(i)] = config->paths[i];
        }
        settings.queue_limit = config->queue_limit;
        settings.video_policy = kalmo::client::VideoPolicy(config->video_policy);
        if (config->callback) {
            kalmo_client_event_callback callback = config->callback;
            void *user = config->callback_user;
            settings.on_event = [callback, user](const Event &event) {
                kalmo_client_event out;
                fill_event(event, out);
                return callback(user, &out) != 0;
            };
        }
        std::string error;
        handle->session = HostSession::start(settings, error);
        if (!handle->session) return fail(handle, KALMO_CLIENT_START_FAILED, error);
        return KALMO_CLIENT_OK;
    } catch (const std::exception &failure) {
        return fail(handle, KALMO_CLIENT_SYSTEM, std::string("cannot start the session: ") + failure.what());
    }
}

kalmo_client_result kalmo_client_next_event(kalmo_client *client, int32_t timeout_ms, kalmo_client_event *event) {
    if (!event) return fail(client, KALMO_CLIENT_INVALID, "no event to fill");
    return guarded(client, [&](HostSession &session) {
        if (session.has_callback())
            return fail(client, KALMO_CLIENT_INVALID, "this session hands its events to a callback");
        EventQueue::Take taken = session.next_event(client->current, timeout_ms);
        if (taken == EventQueue::kTimeout) return KALMO_CLIENT_TIMEOUT;
        if (taken == EventQueue::kEnded) return KALMO_CLIENT_ENDED;
        fill_event(client->current, *event);
        return KALMO_CLIENT_OK;
    });
}

kalmo_client_result kalmo_client_send_mouse(kalmo_client *client, int32_t dx, int32_t dy, uint32_t buttons,
                                            int32_t wheel, int32_t px, int32_t py, int32_t inside) {
    return guarded(client, [&](HostSession &session) {
        std::string error;
        return send_result(client, session.send_mouse(dx, dy, buttons, wheel, px, py, inside, error), error);
    });
}

kalmo_client_result kalmo_client_send_key(kalmo_client *client, uint32_t keycode, int32_t down, uint32_t character,
                                          uint32_t modifiers) {
    return guarded(client, [&](HostSession &session) {
        std::string error;
        return send_result(client, session.send_key(keycode, down, character, modifiers, error), error);
    });
}

kalmo_client_result kalmo_client_send_reset(kalmo_client *client) {
    return guarded(client, [&](HostSession &session) {
        std::string error;
        return send_result(client, session.send_reset(error), error);
    });
}

kalmo_client_result kalmo_client_send_quit(kalmo_client *client) {
    return guarded(client, [&](HostSession &session) {
        std::string error;
        return send_result(client, session.send_quit(error), error);
    });
}

kalmo_client_result kalmo_client_stop(kalmo_client *client, int32_t timeout_ms, kalmo_client_exit *how) {
    return guarded(client, [&](HostSession &session) {
        HostEnd end = session.stop(timeout_ms);
        if (how) {
            std::lock_guard<std::mutex> hold(client->ends_lock);
            client->meanings.push_back(std::make_unique<std::string>(end.meaning));
            fill_exit(end, client->meanings.back()->c_str(), *how);
        }
        return KALMO_CLIENT_OK;
    });
}

void kalmo_client_close(kalmo_client *client) { delete client; }

const char *kalmo_client_last_error(const kalmo_client *client) {
    return last_error.client == client ? last_error.text.c_str() : "";
}

const char *kalmo_client_exit_meaning(int64_t exit_code) { return kalmo::client::exit_code_meaning(exit_code); }

int64_t kalmo_client_host_pid(const kalmo_client *client) {
    return client && client->session ? client->session->host_pid() : 0;
}

int64_t kalmo_client_now_ns(void) { return kalmo::client::monotonic_ns(); }

}  // extern "C"
