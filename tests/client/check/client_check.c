/* client_check: a parent written in plain C against kalmo_client.h alone, as
 * any front-end would be. Built on Linux (linked with libkalmo_client.so)
 * and by mingw-w64 (linked with kalmo_client.dll), it runs one session and
 * prints what it saw as lines the tests read:
 *
 *   client_check MODE HOST CORE CONTENT FOLDER
 *
 * The system, save, assets and playlist paths are all FOLDER. Modes:
 *   run        take every event until the session ends
 *   quit       send QUIT once the game runs
 *   stop       stop(1000 ms) after the first frame
 *   slow       the latest-video policy and a reader that sleeps 50 ms per
 *              event, then QUIT after 20 frames taken
 *   hold       print "host_pid N" once the game runs, then wait forever
 *              (the test kills this program and looks for the host)
 *
 *   inherit    make an inheritable handle (Windows) or a descriptor without
 *              close-on-exec (Linux), and start HOST with the content path
 *              set to its number, for the stand-in below
 *
 * Run by the library as a host (seven arguments), it stands in for one:
 * with the core path "broken_stream", a host whose stream breaks (one status
 * packet, then a header with a bad magic at stream offset 28, then it
 * waits); with "handle_check", a host that says by its status whether the
 * handle or descriptor numbered by the content path reached it
 * ("handle_inherited" or "handle_not_inherited"), then "stopped".
 *
 * Output: "status STATE", "diagnostic LINE", "frames N", "audio_frames N",
 * "dropped N", "error OFFSET TEXT", "exit KIND CODE MEANING", "stop KIND CODE",
 * or "start_failed RESULT TEXT". Exit status 0 when the session ran, 1 when
 * it could not start, 2 on bad usage.
 */
#include <stdio.h>
#include <string.h>

#include "kalmo_client.h"

#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
static void sleep_ms(int ms) { Sleep((DWORD)ms); }
/* A signalled event behind a handle number far above the child's own, so
 * finding it there can only mean it was inherited. */
static long long make_inheritable(void) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, TRUE, NULL), high = NULL;
    for (int i = 0; i < 500; i++) DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &high, 0, TRUE,
                                                  DUPLICATE_SAME_ACCESS);
    return (long long)(uintptr_t)high;
}
static int holds(long long number) {
    DWORD flags = 0;
    HANDLE handle = (HANDLE)(uintptr_t)number;
    return GetHandleInformation(handle, &flags) != 0 && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}
static void write_raw(const char *bytes, size_t count) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, (DWORD)count, &written, NULL);
}

/* main's argv is in the ANSI code page; the library takes UTF-8. */
static char **utf8_arguments(int *count) {
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), count);
    char **arguments = calloc((size_t)*count + 1, sizeof *arguments);
    for (int i = 0; wide && arguments && i < *count; i++) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, NULL, 0, NULL, NULL);
        arguments[i] = malloc((size_t)size);
        if (arguments[i]) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arguments[i], size, NULL, NULL);
    }
    return arguments;
}
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
static long long make_inheritable(void) { return open("/dev/null", O_RDONLY); }
static int holds(long long number) { return fcntl((int)number, F_GETFD) != -1; }
static void sleep_ms(int ms) {
    struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}
static void write_raw(const char *bytes, size_t count) {
    if (write(1, bytes, count) < 0) return;
}
#endif

static int broken_host(void) {
    static const char status[] = "KLMP\x03\x13\x00\x00\x00{\"state\":\"running\"}";
    static const char broken[] = "KLMQ\x01\x10\x00\x00\x00";
    write_raw(status, sizeof status - 1);
    write_raw(broken, sizeof broken - 1);
    sleep_ms(30000);
    return 0;
}

static void write_status(const char *json) {
    char header[9] = {'K', 'L', 'M', 'P', 3, 0, 0, 0, 0};
    size_t length = strlen(json);
    header[5] = (char)(length & 0xFF);
    header[6] = (char)(length >> 8);
    write_raw(header, sizeof header);
    write_raw(json, length);
}

static int handle_check_host(const char *number) {
    write_status(holds(atoll(number)) ? "{\"state\":\"handle_inherited\"}" : "{\"state\":\"handle_not_inherited\"}");
    write_status("{\"state\":\"stopped\"}");
    return 0;
}

static int run(const char *mode, kalmo_client *client) {
    unsigned long long frames = 0, audio_frames = 0, dropped = 0;
    int slow = strcmp(mode, "slow") == 0;
    int quit_sent = 0;
    kalmo_client_event event;
    kalmo_client_result result;
    while ((result = kalmo_client_next_event(client, 30000, &event)) == KALMO_CLIENT_OK) {
        switch (event.type) {
        case KALMO_CLIENT_EVENT_STATUS:
            printf("status %s\n", event.state);
            if (strcmp(mode, "quit") == 0 && strcmp(event.state, "running") == 0 && !quit_sent) {
                quit_sent = 1;
                if (kalmo_client_send_quit(client) != KALMO_CLIENT_OK)
                    printf("quit_failed %s\n", kalmo_client_last_error(client));
            }
            if (strcmp(mode, "hold") == 0 && strcmp(event.state, "running") == 0) {
                printf("host_pid %lld\n", (long long)kalmo_client_host_pid(client));
                fflush(stdout);
                for (;;) sleep_ms(1000);
            }
            break;
        case KALMO_CLIENT_EVENT_DIAGNOSTIC:
            printf("diagnostic %s\n", event.text);
            break;
        case KALMO_CLIENT_EVENT_VIDEO:
            frames++;
            dropped += event.dropped_frames;
            break;
        case KALMO_CLIENT_EVENT_AUDIO:
            audio_frames += event.frames;
            break;
        case KALMO_CLIENT_EVENT_ERROR:
            printf("error %llu %s\n", (unsigned long long)event.stream_offset, event.text);
            break;
        case KALMO_CLIENT_EVENT_EXIT:
            printf("exit %d %lld %s\n", (int)event.exit.kind, (long long)event.exit.exit_code, event.exit.meaning);
            break;
        }
        if (event.type != KALMO_CLIENT_EVENT_VIDEO || quit_sent) continue;
        if (slow) sleep_ms(50);
        if (slow && frames >= 20) {
            quit_sent = 1;
            if (kalmo_client_send_quit(client) != KALMO_CLIENT_OK)
                printf("quit_failed %s\n", kalmo_client_last_error(client));
        } else if (strcmp(mode, "stop") == 0) {
            kalmo_client_exit how;
            quit_sent = 1;
            kalmo_client_stop(client, 1000, &how);
            printf("stop %d %lld\n", (int)how.kind, (long long)how.exit_code);
        }
        if (slow) sleep_ms(50);
    }
    printf("frames %llu\naudio_frames %llu\ndropped %llu\nend %d\n", frames, audio_frames, dropped, (int)result);
    return 0;
}

int main(int argc, char **argv) {
#ifdef _WIN32
    argv = utf8_arguments(&argc);
#endif
    if (argc == 7 && strstr(argv[1], "broken_stream")) return broken_host();
    if (argc == 7 && strstr(argv[1], "handle_check")) return handle_check_host(argv[2]);
    if (argc != 6) {
        fprintf(stderr, "usage: client_check run|quit|stop|slow|hold HOST CORE CONTENT FOLDER\n");
        return 2;
    }
    kalmo_client_config config;
    kalmo_client_config_init(&config);
    config.host_program = argv[2];
    config.paths[0] = argv[3];
    config.paths[1] = argv[4];
    for (int i = 2; i < 6; i++) config.paths[i] = argv[5];
    if (strcmp(argv[1], "slow") == 0) {
        config.video_policy = KALMO_CLIENT_VIDEO_LATEST;
        config.queue_limit = 16;
    }
    char number[32];
    if (strcmp(argv[1], "inherit") == 0) {
        snprintf(number, sizeof number, "%lld", make_inheritable());
        config.paths[1] = number;
    }
    kalmo_client *client = NULL;
    kalmo_client_result started = kalmo_client_start(&config, &client);
    if (started != KALMO_CLIENT_OK) {
        printf("start_failed %d %s\n", (int)started, kalmo_client_last_error(client));
        kalmo_client_close(client);
        return 1;
    }
    int status = run(argv[1], client);
    kalmo_client_close(client);
    return status;
}
