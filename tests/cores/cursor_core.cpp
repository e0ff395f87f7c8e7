// The cursor core: a Libretro core named "ScummVM", so the host sets it up
// as that core (mouse on port 0, the fixed scummvm_mouse_speed answer), that
// moves a game cursor the way the ScummVM core does and draws it, so tests
// can compare the cursor a player sees with where the player's hand is.
//
// Each run it polls input once, then per axis applies the summed mouse delta
// d of that poll: when d and the remainder r have opposite signs, r becomes
// 0; r += d * speed in single precision (speed is the host's answer for
// scummvm_mouse_speed, 1 when it gives none); the integer part of r, toward
// zero, moves the cursor and is taken out of r; the cursor is clamped to
// 0..320 (0..200 down). A poll with d = 0 leaves the axis alone. The cursor
// starts at 0,0.
//
// The 320x200 XRGB8888 frame is a dark ground crossed by the cursor: a
// magenta row at its y and a green column at its x, meeting in a white pixel;
// a cursor at 320 (or 200) draws no column (row). With "animate 1" in the
// content the bottom-right pixel changes every run, so no two frames match.
//
// Each run the core also reads the state of every key (it registers no
// keyboard callback) and the three buttons. The content file's lines:
//   record PATH    where the record goes, one line per event, flushed:
//                    speed value=V answered=0|1     after the option query
//                    run n=N us=T x=X y=Y dx=DX dy=DY buttons=B keys=K,K|-
//   animate 0|1    default 0
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "libretro.h"

#ifdef _WIN32
#define CURSOR_EXPORT extern "C" __declspec(dllexport)
#else
#define CURSOR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

enum { WIDTH = 320, HEIGHT = 200, KEY_COUNT = 512 };

static const uint32_t GROUND = 0x00202838;
static const uint32_t ROW_COLOUR = 0x00ff00ff;
static const uint32_t COLUMN_COLOUR = 0x0000ff00;
static const uint32_t CROSSING_COLOUR = 0x00ffffff;

static retro_environment_t environment;
static retro_video_refresh_t video_refresh;
static retro_input_poll_t input_poll;
static retro_input_state_t input_state;

static FILE *record_file;
static bool animate;
static float speed = 1.0f;
static unsigned run_number;
static uint32_t pixels[WIDTH * HEIGHT];

struct axis {
    int position;
    int limit;
    float remainder;
};
static axis axis_x = {0, WIDTH, 0.0f};
static axis axis_y = {0, HEIGHT, 0.0f};

// Every line is flushed at once: the host ends the process without running
// the C runtime's exit handlers.
static void end_record_line(void) {
    fputc('\n', record_file);
    fflush(record_file);
}

static std::chrono::steady_clock::time_point loaded_at;

// Microseconds since the game loaded; 32 bits, since the Windows C runtime's
// printf does not agree on the 64-bit directives.
static unsigned microseconds_since_load(void) {
    auto elapsed = std::chrono::steady_clock::now() - loaded_at;
    return (unsigned)std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

static void read_content(const char *path) {
    FILE *file = path ? fopen(path, "rb") : NULL;
    if (!file) return;
    char line[1024];
    while (fgets(line, sizeof line, file)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!strncmp(line, "record ", 7) && !record_file) record_file = fopen(line + 7, "wb");
        else if (!strncmp(line, "animate ", 8)) animate = atoi(line + 8) != 0;
    }
    fclose(file);
}

static void ask_speed(void) {
    retro_variable variable = {"scummvm_mouse_speed", NULL};
    bool answered = environment && environment(RETRO_ENVIRONMENT_GET_VARIABLE, &variable) && variable.value;
    if (answered) speed = strtof(variable.value, NULL);
    if (!record_file) return;
    fprintf(record_file, "speed value=%g answered=%d", (double)speed, answered ? 1 : 0);
    end_record_line();
}

static void move_axis(axis *a, int delta) {
    if (delta == 0) return;
    if ((delta > 0 && a->remainder < 0.0f) || (delta < 0 && a->remainder > 0.0f)) a->remainder = 0.0f;
    a->remainder += (float)delta * speed;
    int whole = (int)a->remainder;
    a->remainder -= (float)whole;
    int position = a->position + whole;
    a->position = position < 0 ? 0 : position > a->limit ? a->limit : position;
}

static void draw(void) {
    for (int i = 0; i < WIDTH * HEIGHT; i++) pixels[i] = GROUND;
    if (axis_y.position < HEIGHT)
        for (int x = 0; x < WIDTH; x++) pixels[axis_y.position * WIDTH + x] = ROW_COLOUR;
    if (axis_x.position < WIDTH)
        for (int y = 0; y < HEIGHT; y++) {
            uint32_t *pixel = &pixels[y * WIDTH + axis_x.position];
            *pixel = *pixel == ROW_COLOUR ? CROSSING_COLOUR : COLUMN_COLOUR;
        }
    if (animate) pixels[WIDTH * HEIGHT - 1] = 0x00010000u * (run_number & 0xff) + 0x40;
    video_refresh(pixels, WIDTH, HEIGHT, WIDTH * sizeof(uint32_t));
}

// The keys down now, as "K,K" or "-", into `out`.
static void read_keys(char *out, size_t size) {
    size_t used = 0;
    out[0] = 0;
    for (unsigned key = 1; key < KEY_COUNT && used + 8 < size; key++) {
        if (!input_state(0, RETRO_DEVICE_KEYBOARD, 0, key)) continue;
        used += (size_t)snprintf(out + used, size - used, used ? ",%u" : "%u", key);
    }
    if (!used) strcpy(out, "-");
}

CURSOR_EXPORT void retro_set_environment(retro_environment_t callback) { environment = callback; }
CURSOR_EXPORT void retro_set_video_refresh(retro_video_refresh_t callback) { video_refresh = callback; }
CURSOR_EXPORT void retro_set_audio_sample(retro_audio_sample_t) {}
CURSOR_EXPORT void retro_set_audio_sample_batch(retro_audio_sample_batch_t) {}
CURSOR_EXPORT void retro_set_input_poll(retro_input_poll_t callback) { input_poll = callback; }
CURSOR_EXPORT void retro_set_input_state(retro_input_state_t callback) { input_state = callback; }

CURSOR_EXPORT void retro_set_controller_port_device(unsigned, unsigned) {}

CURSOR_EXPORT void retro_init(void) {}

CURSOR_EXPORT void retro_deinit(void) {
    if (record_file) fclose(record_file);
    record_file = NULL;
}

CURSOR_EXPORT unsigned retro_api_version(void) { return RETRO_API_VERSION; }

CURSOR_EXPORT void retro_get_system_info(retro_system_info *info) {
    info->library_name = "ScummVM";
    info->library_version = "cursor-test";
    info->valid_extensions = "cursor";
    info->need_fullpath = 1;
    info->block_extract = 0;
}

CURSOR_EXPORT void retro_get_system_av_info(retro_system_av_info *info) {
    info->geometry = {WIDTH, HEIGHT, WIDTH, HEIGHT, 0.0f};
    info->timing = {60.0, 48000.0};
}

CURSOR_EXPORT bool retro_load_game(const retro_game_info *game) {
    loaded_at = std::chrono::steady_clock::now();
    read_content(game ? game->path : NULL);
    unsigned format = RETRO_PIXEL_FORMAT_XRGB8888;
    if (!environment || !environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) return false;
    ask_speed();
    return true;
}

CURSOR_EXPORT void retro_unload_game(void) {}

CURSOR_EXPORT void retro_run(void) {
    run_number++;
    input_poll();
    int dx = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_X);
    int dy = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_Y);
    int buttons = (input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_LEFT) ? 1 : 0) |
                  (input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_RIGHT) ? 2 : 0) |
                  (input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_MIDDLE) ? 4 : 0);
    char keys[256];
    read_keys(keys, sizeof keys);
    move_axis(&axis_x, dx);
    move_axis(&axis_y, dy);
    if (record_file) {
        fprintf(record_file, "run n=%u us=%u x=%d y=%d dx=%d dy=%d buttons=%d keys=%s", run_number,
                microseconds_since_load(), axis_x.position, axis_y.position, dx, dy, buttons, keys);
        end_record_line();
    }
    draw();
}

CURSOR_EXPORT void retro_reset(void) {
    axis_x = {0, WIDTH, 0.0f};
    axis_y = {0, HEIGHT, 0.0f};
}
