// The bench core: a Libretro core that presents the same frame on every run
// at whatever rate it is told, and writes down when each retro_run began, so
// the bench can measure the host around it. Built as kalmo_bench_core.so, and
// as kalmo_bench_core.dll by the Windows build for the pacing run under Wine.
//
// Its content file holds its orders, one "key value" a line:
//   width W, height H     frame size (default 320 x 240)
//   format F              0 0RGB1555, 1 XRGB8888, 2 RGB565 (default 1)
//   padding P             bytes after each row of the frame (default 0)
//   fps R                 the rate it reports (default 60)
//   frames N              asks for shutdown during run N (default 100)
//   mouse 1               polls input and reads the mouse at each run
//   record PATH           where the record goes, written at retro_deinit
// The record has one line per run: the time it began (ns, monotonic clock),
// the process's CPU time then (ns), and the mouse motion the run saw.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define BENCH_EXPORT extern "C" __declspec(dllexport)
#else
#include <time.h>
#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#include "frame_pattern.h"
#include "libretro.h"

struct run_record {
    int64_t wall_ns;
    int64_t cpu_ns;
    int32_t dx, dy;
};

struct orders {
    uint32_t width = 320, height = 240, format = 1, padding = 0, frames = 100, mouse = 0;
    double fps = 60.0;
    char record[1024] = "";
};

static orders order;
static uint8_t *frame;
static size_t pitch;
static run_record *records;
static uint32_t runs;

static retro_environment_t environment;
static retro_video_refresh_t video;
static retro_input_poll_t input_poll;
static retro_input_state_t input_state;

#ifdef _WIN32
static int64_t wall_ns(void) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (int64_t)((double)now.QuadPart * 1e9 / (double)frequency.QuadPart);
}

static int64_t cpu_ns(void) {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    uint64_t k = (uint64_t)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime;
    uint64_t u = (uint64_t)user.dwHighDateTime << 32 | user.dwLowDateTime;
    return (int64_t)(k + u) * 100;
}
#else
static int64_t clock_ns(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}
static int64_t wall_ns(void) { return clock_ns(CLOCK_MONOTONIC); }
static int64_t cpu_ns(void) { return clock_ns(CLOCK_PROCESS_CPUTIME_ID); }
#endif

static void read_orders(const char *text, size_t size) {
    char line[1100];
    size_t at = 0;
    while (at < size) {
        size_t length = 0;
        while (at < size && text[at] != '\n') {
            if (length + 1 < sizeof line) line[length++] = text[at];
            at++;
        }
        at++;
        while (length && line[length - 1] == '\r') length--;
        line[length] = 0;
        char *value = strchr(line, ' ');
        if (!value) continue;
        *value++ = 0;
        if (!strcmp(line, "width")) order.width = (uint32_t)atol(value);
        if (!strcmp(line, "height")) order.height = (uint32_t)atol(value);
        if (!strcmp(line, "format")) order.format = (uint32_t)atol(value);
        if (!strcmp(line, "padding")) order.padding = (uint32_t)atol(value);
        if (!strcmp(line, "frames")) order.frames = (uint32_t)atol(value);
        if (!strcmp(line, "mouse")) order.mouse = (uint32_t)atol(value);
        if (!strcmp(line, "fps")) order.fps = atof(value);
        if (!strcmp(line, "record")) snprintf(order.record, sizeof order.record, "%s", value);
    }
}

static void write_record(void) {
    if (!order.record[0] || !records) return;
    FILE *file = fopen(order.record, "w");
    if (!file) return;
    for (uint32_t i = 0; i < runs; i++)
        fprintf(file, "%lld %lld %d %d\n", (long long)records[i].wall_ns, (long long)records[i].cpu_ns,
                records[i].dx, records[i].dy);
    fclose(file);
}

BENCH_EXPORT void retro_set_environment(retro_environment_t callback) { environment = callback; }
BENCH_EXPORT void retro_set_video_refresh(retro_video_refresh_t callback) { video = callback; }
BENCH_EXPORT void retro_set_audio_sample(retro_audio_sample_t) {}
BENCH_EXPORT void retro_set_audio_sample_batch(retro_audio_sample_batch_t) {}
BENCH_EXPORT void retro_set_input_poll(retro_input_poll_t callback) { input_poll = callback; }
BENCH_EXPORT void retro_set_input_state(retro_input_state_t callback) { input_state = callback; }
BENCH_EXPORT void retro_set_controller_port_device(unsigned, unsigned) {}
BENCH_EXPORT void retro_init(void) {}
BENCH_EXPORT unsigned retro_api_version(void) { return RETRO_API_VERSION; }
BENCH_EXPORT void retro_reset(void) {}

BENCH_EXPORT void retro_get_system_info(retro_system_info *info) {
    info->library_name = "kalmo bench core";
    info->library_version = "1";
    info->valid_extensions = "txt";
    info->need_fullpath = false;
    info->block_extract = false;
}

BENCH_EXPORT void retro_get_system_av_info(retro_system_av_info *info) {
    info->geometry.base_width = info->geometry.max_width = order.width;
    info->geometry.base_height = info->geometry.max_height = order.height;
    info->geometry.aspect_ratio = (float)order.width / (float)order.height;
    info->timing.fps = order.fps;
    info->timing.sample_rate = 48000.0;
}

BENCH_EXPORT bool retro_load_game(const retro_game_info *game) {
    if (!game || !game->data) return false;
    read_orders((const char *)game->data, game->size);
    unsigned format = order.format;
    if (!environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) return false;
    pitch = (size_t)order.width * pattern_bytes_per_pixel(order.format) + order.padding;
    frame = (uint8_t *)malloc(pitch * order.height);
    records = (run_record *)calloc(order.frames, sizeof *records);
    if (!frame || !records) return false;
    fill_pattern(frame, order.format, order.width, order.height, pitch);
    return true;
}

BENCH_EXPORT void retro_run(void) {
    if (runs >= order.frames) return;
    run_record *record = &records[runs++];
    record->wall_ns = wall_ns();
    record->cpu_ns = cpu_ns();
    if (order.mouse) {
        input_poll();
        record->dx = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_X);
        record->dy = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_Y);
    }
    video(frame, order.width, order.height, pitch);
    if (runs == order.frames) environment(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
}

BENCH_EXPORT void retro_unload_game(void) {}

BENCH_EXPORT void retro_deinit(void) {
    write_record();
    free(frame);
    free(records);
    frame = nullptr;
    records = nullptr;
}
