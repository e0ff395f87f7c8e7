/* kalmo_client.h: the C interface of kalmo-client, the library a native
 * parent uses to run kalmo-host (Linux and Windows alike).
 *
 * This header is the public, stable door: plain C, an opaque handle, no C++
 * type crossing it, callable from any language with a foreign-function
 * interface (client/python/kalmo_client.py, client/csharp/KalmoClient.cs).
 * The project's own tools may instead use the C++ inside
 * (client/src/host_session.h), which this interface is a thin layer over.
 *
 * A session in a dozen lines:
 *
 *     kalmo_client_config config;
 *     kalmo_client_config_init(&config);
 *     config.host_program = "build/linux/kalmo-host";
 *     config.paths[0] = "core.so";  config.paths[1] = "game.txt";  ...[5]
 *     kalmo_client *client = NULL;
 *     if (kalmo_client_start(&config, &client) != KALMO_CLIENT_OK)
 *         puts(kalmo_client_last_error(client));   (client may be NULL: out of memory)
 *     kalmo_client_event event;
 *     kalmo_client_result result;
 *     while ((result = kalmo_client_next_event(client, 1000, &event)) >= 0 && result != KALMO_CLIENT_ENDED)
 *         if (result == KALMO_CLIENT_OK && event.type == KALMO_CLIENT_EVENT_VIDEO)
 *             draw(event.width, event.height, event.rgba);
 *     kalmo_client_close(client);
 *
 * Every text is UTF-8 and NUL-terminated. Commands, stop and the queries
 * may be called from any thread; events are taken by one thread at a time;
 * a handle is not to be closed while another thread still uses it.
 */
#ifndef KALMO_CLIENT_H
#define KALMO_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A Windows program linking kalmo_client.dll may define KALMO_CLIENT_USING_DLL
 * for direct imports; without it the import library's stubs serve as well. */
#if defined(_WIN32) && defined(KALMO_CLIENT_BUILDING_DLL)
#define KALMO_CLIENT_API __declspec(dllexport)
#elif defined(_WIN32) && defined(KALMO_CLIENT_USING_DLL)
#define KALMO_CLIENT_API __declspec(dllimport)
#elif defined(__GNUC__)
#define KALMO_CLIENT_API __attribute__((visibility("default")))
#else
#define KALMO_CLIENT_API
#endif

typedef struct kalmo_client kalmo_client;

/* What every call returns. Negative values are failures; the handle's
 * kalmo_client_last_error() then says why in words. */
typedef enum kalmo_client_result {
    KALMO_CLIENT_OK = 0,
    KALMO_CLIENT_TIMEOUT = 1,        /* next_event, stop: nothing happened within the time given */
    KALMO_CLIENT_ENDED = 2,          /* next_event: the session is over and every event has been taken */
    KALMO_CLIENT_INVALID = -1,       /* an argument out of range, a null pointer, a call in the wrong mode */
    KALMO_CLIENT_START_FAILED = -2,  /* host not found or not runnable, pipes or process refused */
    KALMO_CLIENT_HOST_GONE = -3,     /* the host has ended or closed its command input */
    KALMO_CLIENT_SYSTEM = -4         /* the operating system refused something else (memory, threads) */
} kalmo_client_result;

/* Which video frames reach the parent when it takes events more slowly than
 * the host sends them. */
typedef enum kalmo_client_video_policy {
    /* Every frame is queued; when the queue is full the readers wait, and the
     * host waits on its pipe (the recorder's choice). */
    KALMO_CLIENT_VIDEO_ALL = 0,
    /* At most one frame waits: a newer frame replaces an untaken one and the
     * replaced frames are counted (a live front-end's choice). Audio and
     * status are never dropped under either policy. */
    KALMO_CLIENT_VIDEO_LATEST = 1
} kalmo_client_video_policy;

typedef enum kalmo_client_event_type {
    KALMO_CLIENT_EVENT_STATUS = 1,      /* text: the JSON line; state: its "state" value */
    KALMO_CLIENT_EVENT_VIDEO = 2,       /* width, height, rgba; dropped_frames */
    KALMO_CLIENT_EVENT_AUDIO = 3,       /* sample_rate, frames, samples */
    KALMO_CLIENT_EVENT_DIAGNOSTIC = 4,  /* text: one standard-error line without its CR LF */
    KALMO_CLIENT_EVENT_ERROR = 5,       /* text: what broke; stream_offset: where (the session then ends) */
    KALMO_CLIENT_EVENT_EXIT = 6         /* the host has ended: exit_* fields, text says how in words; always last,
                                           once both pipes have closed (what the host started and left holding
                                           them is ended 2 s after the host) */
} kalmo_client_event_type;

/* How the host ended (the exit event and kalmo_client_stop). */
typedef enum kalmo_client_exit_kind {
    KALMO_CLIENT_EXIT_CODE = 1,       /* it exited by itself with exit_code */
    KALMO_CLIENT_EXIT_SIGNAL = 2,     /* Linux: ended by signal exit_code */
    KALMO_CLIENT_EXIT_EXCEPTION = 3,  /* Windows: ended by the exception (NTSTATUS) exit_code */
    KALMO_CLIENT_EXIT_TERMINATED = 4  /* ended by this library (stop's timeout, close) */
} kalmo_client_exit_kind;

typedef struct kalmo_client_exit {
    int32_t kind;               /* kalmo_client_exit_kind */
    int64_t exit_code;          /* the code, the signal number or the exception code */
    const char *meaning;        /* in words, e.g. "exit code 5: the core refused the content"; lives as long as the handle */
} kalmo_client_exit;

/* One event. Every pointer in it belongs to the library and stays valid
 * until the next kalmo_client_next_event() on the same handle, or
 * kalmo_client_close(); in a callback, until the callback returns. Copy what
 * you keep. Fields that do not apply to the type are zero or NULL. */
typedef struct kalmo_client_event {
    int32_t type;               /* kalmo_client_event_type */
    const char *text;           /* status JSON, diagnostic line, error message, exit meaning */
    size_t text_length;         /* bytes in text, without the terminating NUL */
    const char *state;          /* status: the "state" member ("" when there is none) */
    uint32_t width, height;     /* video: 1..8192 each */
    const uint8_t *rgba;        /* video: height rows of width * 4 bytes (red, green, blue, 255) */
    uint64_t dropped_frames;    /* video: frames replaced unseen (LATEST policy) since the previous video event */
    uint32_t sample_rate;       /* audio: hertz */
    uint32_t frames;            /* audio: 1..65536 stereo frames */
    const int16_t *samples;     /* audio: frames * 2 values, left then right */
    uint64_t stream_offset;     /* byte offset in the packet stream where this packet began (error: where it broke) */
    int64_t received_ns;        /* monotonic clock (kalmo_client_now_ns) when the packet's last byte was read */
    kalmo_client_exit exit;     /* exit: how the host ended */
} kalmo_client_event;

/* Called on one thread the library owns, in stream order, one event at a
 * time. Return nonzero to keep receiving; zero stops further callbacks (the
 * events left are freed with the handle). Do not close the handle from
 * inside the callback. */
typedef int (*kalmo_client_event_callback)(void *user, const kalmo_client_event *event);

typedef struct kalmo_client_config {
    const char *host_program;   /* path of kalmo-host (Linux) or kalmo-host.exe (Windows), UTF-8 */
    const char *paths[6];       /* CORE CONTENT SYSTEM_DIR SAVE_DIR ASSETS_DIR PLAYLIST_DIR, UTF-8, none NULL */
    uint32_t queue_limit;       /* events held before the readers wait; 0: 64 */
    int32_t video_policy;       /* kalmo_client_video_policy */
    /* Optional: events go to this function instead of kalmo_client_next_event. */
    kalmo_client_event_callback callback;
    void *callback_user;
} kalmo_client_config;

/* The library's version, the text of the repository's VERSION file, e.g.
 * "0.1.0". Static storage. */
KALMO_CLIENT_API const char *kalmo_client_version(void);

/* Fills a config with the defaults (everything zero or NULL). */
KALMO_CLIENT_API void kalmo_client_config_init(kalmo_client_config *config);

/* Starts the host with the six paths and its three pipes, and the threads
 * that read it. On Linux the host dies with this process (also on SIGKILL)
 * and inherits none of its descriptors; on Windows it inherits only its three
 * pipe ends, opens no console window and sits in a job object that ends it
 * when this process's last handle to the job closes (a crashed parent never
 * leaves a game running).
 * On Windows a path that is not valid UTF-8 is refused here (START_FAILED)
 * rather than handed on altered.
 * *client is set whenever memory allows, also on failure, so that
 * kalmo_client_last_error() can say why; always kalmo_client_close() it.
 * Linux: the host is tied to a thread the library owns for the session, so
 * starting from a short-lived thread is fine. */
KALMO_CLIENT_API kalmo_client_result kalmo_client_start(const kalmo_client_config *config, kalmo_client **client);

/* Waits up to timeout_ms (negative: no limit) for the next event and fills
 * *event (see kalmo_client_event for how long its buffers live). Returns OK,
 * TIMEOUT, ENDED after the exit event has been taken, or INVALID when the
 * session was started with a callback. */
KALMO_CLIENT_API kalmo_client_result kalmo_client_next_event(kalmo_client *client, int32_t timeout_ms,
                                                           kalmo_client_event *event);

/* Commands, each checked and written as one line. Values out of range give
 * INVALID and nothing is written; HOST_GONE when the host no longer reads.
 * mouse: dx, dy, wheel relative; buttons a mask of 1 left, 2 right, 4 middle
 * (0..7); px, py the pointer in frame pixels; inside 0 or 1. */
KALMO_CLIENT_API kalmo_client_result kalmo_client_send_mouse(kalmo_client *client, int32_t dx, int32_t dy,
                                                           uint32_t buttons, int32_t wheel, int32_t px, int32_t py,
                                                           int32_t inside);
/* key: a Libretro retro_key code (0..65535), down 0 or 1, the typed character
 * (a Unicode code point, 0 for none, at most 0x10FFFF), the Libretro modifier
 * mask (0..65535). */
KALMO_CLIENT_API kalmo_client_result kalmo_client_send_key(kalmo_client *client, uint32_t keycode, int32_t down,
                                                         uint32_t character, uint32_t modifiers);
KALMO_CLIENT_API kalmo_client_result kalmo_client_send_reset(kalmo_client *client);
KALMO_CLIENT_API kalmo_client_result kalmo_client_send_quit(kalmo_client *client);

/* Sends QUIT, waits up to timeout_ms for the host to end, then terminates
 * it. Fills *how (may be NULL) with how it ended: kind TERMINATED when it had
 * to be ended by force. Returns OK once the host has ended either way (also
 * when it had already ended). Events, the exit event included, can still be
 * taken afterwards. From the call on, events are queued without limit, so a
 * host can write its last packets even when nobody is taking them. */
KALMO_CLIENT_API kalmo_client_result kalmo_client_stop(kalmo_client *client, int32_t timeout_ms,
                                                     kalmo_client_exit *how);

/* Ends the host at once if it still runs, stops the threads and frees the
 * handle and every buffer it handed out. NULL is accepted. */
KALMO_CLIENT_API void kalmo_client_close(kalmo_client *client);

/* The message of the last call this thread made on this handle that failed
 * ("" when none did). Kept per thread, so threads sharing a handle do not
 * overwrite each other's text; valid until this thread's next failing call.
 * With a NULL handle: why a start could not even allocate one. */
KALMO_CLIENT_API const char *kalmo_client_last_error(const kalmo_client *client);

/* The host's exit code in words: 0, 2, 3, 4 and 5 have their meanings, any
 * other code says it is unknown. Static storage. */
KALMO_CLIENT_API const char *kalmo_client_exit_meaning(int64_t exit_code);

/* The process id of the running host (0 once it has ended or never began). */
KALMO_CLIENT_API int64_t kalmo_client_host_pid(const kalmo_client *client);

/* The monotonic clock the events' received_ns is taken from, in nanoseconds. */
KALMO_CLIENT_API int64_t kalmo_client_now_ns(void);

#ifdef __cplusplus
}
#endif

#endif /* KALMO_CLIENT_H */
