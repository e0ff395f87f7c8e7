// The KALMO Demo core: the sixteen Libretro entry points around the scene
// and the tune. It needs no content (any path is accepted), draws 320x240
// RGB565 frames at 60 per second, sends one 800-frame audio batch per video
// frame at 48000 Hz, reads the mouse through relative RETRO_DEVICE_MOUSE
// queries, the arrow keys through RETRO_DEVICE_KEYBOARD queries and typed
// characters through the keyboard callback, and declares three options that
// it reads back with defaults for a host that does not know them.
//
// A content file whose text holds "audio=sparse" switches the sound to the
// pattern real engine cores have: the same 800-frame batch in each run while
// the tune sounds, and no audio call at all during rests (half a second after
// every two seconds of sound), so parents can test their jitter buffers.
#include <stdio.h>
#include <string.h>

#include "host/libretro.h"
#include "scene.h"
#include "tune.h"

#if defined(_WIN32)
#define DEMO_EXPORT extern "C" __declspec(dllexport)
#else
#define DEMO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Key codes of the published retro_key table that the demo reads.
enum {
    DEMO_KEY_UP = 273,
    DEMO_KEY_DOWN = 274,
    DEMO_KEY_RIGHT = 275,
    DEMO_KEY_LEFT = 276,
    DEMO_KEY_F10 = 291,
};

namespace {

constexpr int fps = 60;
constexpr int audio_frames_per_video_frame = DEMO_SAMPLE_RATE / fps;

retro_environment_t environment;
retro_video_refresh_t video_refresh;
retro_audio_sample_batch_t audio_batch;
retro_input_poll_t input_poll;
retro_input_state_t input_state;
retro_log_printf_t log_printf;

uint16_t framebuffer[SCENE_WIDTH * SCENE_HEIGHT];
int16_t audio[2 * audio_frames_per_video_frame];
bool melody_on = true;
bool shutdown_requested;
bool sparse_audio;
unsigned run_count;

constexpr unsigned sparse_sound_runs = 2 * fps;
constexpr unsigned sparse_rest_runs = fps / 2;

const retro_variable declared_options[] = {
    {"kalmo_demo_speed", "Ball speed; 2|1|3|4"},
    {"kalmo_demo_palette", "Background colours; sunset|ocean|forest"},
    {"kalmo_demo_tune", "Background tune; on|off"},
    {nullptr, nullptr},
};

// The option's value, or null when the host does not answer it.
const char *option_value(const char *key) {
    retro_variable variable = {key, nullptr};
    if (!environment(RETRO_ENVIRONMENT_GET_VARIABLE, &variable)) return nullptr;
    return variable.value;
}

SceneSettings read_settings() {
    SceneSettings settings = {2, PALETTE_SUNSET};
    const char *speed = option_value("kalmo_demo_speed");
    if (speed && speed[0] >= '1' && speed[0] <= '4' && speed[1] == 0) settings.ball_speed = speed[0] - '0';
    const char *palette = option_value("kalmo_demo_palette");
    if (palette && strcmp(palette, "ocean") == 0) settings.palette = PALETTE_OCEAN;
    if (palette && strcmp(palette, "forest") == 0) settings.palette = PALETTE_FOREST;
    const char *tune = option_value("kalmo_demo_tune");
    melody_on = !(tune && strcmp(tune, "off") == 0);
    return settings;
}

void restart() {
    scene_reset(read_settings());
    tune_reset();
    run_count = 0;
}

// The content's only setting; any unreadable or other file means steady sound.
bool content_asks_for_sparse_audio(const char *path) {
    if (!path) return false;
    FILE *file = fopen(path, "rb");
    if (!file) return false;
    char text[4096];
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = 0;
    return strstr(text, "audio=sparse") != nullptr;
}

bool audio_due_this_run() {
    if (!sparse_audio) return true;
    return run_count % (sparse_sound_runs + sparse_rest_runs) < sparse_sound_runs;
}

// The text goes as the format itself: it holds no directive, and a host may
// print the format raw without expanding anything.
void log_line(retro_log_level level, const char *text) {
    if (log_printf) log_printf(level, text);
}

// Runs inside the host's input poll, possibly in the middle of retro_run.
void keyboard_event(bool down, unsigned keycode, uint32_t character, uint16_t) {
    if (!down) return;
    if (keycode == DEMO_KEY_F10 && !shutdown_requested) {
        shutdown_requested = true;
        environment(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
        return;
    }
    scene_type(character);
}

bool key_held(unsigned keycode) { return input_state(0, RETRO_DEVICE_KEYBOARD, 0, keycode) != 0; }

SceneInput read_input() {
    SceneInput input{};
    input.mouse_dx = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_X);
    input.mouse_dy = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_Y);
    input.mouse_left = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_LEFT) != 0;
    input.mouse_right = input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_RIGHT) != 0;
    if (input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_WHEELUP)) input.wheel = 1;
    if (input_state(0, RETRO_DEVICE_MOUSE, 0, RETRO_DEVICE_ID_MOUSE_WHEELDOWN)) input.wheel = -1;
    input.arrow_up = key_held(DEMO_KEY_UP);
    input.arrow_down = key_held(DEMO_KEY_DOWN);
    input.arrow_left = key_held(DEMO_KEY_LEFT);
    input.arrow_right = key_held(DEMO_KEY_RIGHT);
    return input;
}

}  // namespace

DEMO_EXPORT unsigned retro_api_version(void) { return RETRO_API_VERSION; }

DEMO_EXPORT void retro_set_environment(retro_environment_t callback) {
    environment = callback;
    environment(RETRO_ENVIRONMENT_SET_VARIABLES, (void *)declared_options);
}

DEMO_EXPORT void retro_set_video_refresh(retro_video_refresh_t callback) { video_refresh = callback; }
DEMO_EXPORT void retro_set_audio_sample(retro_audio_sample_t) {}
DEMO_EXPORT void retro_set_audio_sample_batch(retro_audio_sample_batch_t callback) { audio_batch = callback; }
DEMO_EXPORT void retro_set_input_poll(retro_input_poll_t callback) { input_poll = callback; }
DEMO_EXPORT void retro_set_input_state(retro_input_state_t callback) { input_state = callback; }
DEMO_EXPORT void retro_set_controller_port_device(unsigned, unsigned) {}

DEMO_EXPORT void retro_get_system_info(retro_system_info *info) {
    memset(info, 0, sizeof *info);
    info->library_name = "KALMO Demo";
    info->library_version = "1.0";
    info->valid_extensions = "";
    info->need_fullpath = true;
    info->block_extract = false;
}

DEMO_EXPORT void retro_get_system_av_info(retro_system_av_info *info) {
    memset(info, 0, sizeof *info);
    info->geometry.base_width = SCENE_WIDTH;
    info->geometry.base_height = SCENE_HEIGHT;
    info->geometry.max_width = SCENE_WIDTH;
    info->geometry.max_height = SCENE_HEIGHT;
    info->geometry.aspect_ratio = 4.0f / 3.0f;
    info->timing.fps = fps;
    info->timing.sample_rate = DEMO_SAMPLE_RATE;
}

DEMO_EXPORT void retro_init(void) {
    retro_log_callback logging = {nullptr};
    if (environment(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &logging)) log_printf = logging.log;
}

DEMO_EXPORT void retro_deinit(void) { log_printf = nullptr; }

DEMO_EXPORT bool retro_load_game(const retro_game_info *game) {
    unsigned format = RETRO_PIXEL_FORMAT_RGB565;
    if (!environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) {
        log_line(RETRO_LOG_ERROR, "KALMO Demo needs RGB565 frames\n");
        return false;
    }
    retro_keyboard_callback keyboard = {keyboard_event};
    environment(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &keyboard);
    shutdown_requested = false;
    sparse_audio = content_asks_for_sparse_audio(game ? game->path : nullptr);
    restart();
    log_line(RETRO_LOG_INFO, "KALMO Demo ready: move the mouse, click, press arrows and letters\n");
    return true;
}

DEMO_EXPORT void retro_unload_game(void) {}
DEMO_EXPORT void retro_reset(void) { restart(); }

DEMO_EXPORT void retro_run(void) {
    input_poll();
    SceneEvents events = scene_step(read_input());
    if (events.clicked) tune_blip(events.click_pan);
    scene_draw(Frame565{framebuffer, SCENE_WIDTH, SCENE_HEIGHT});
    video_refresh(framebuffer, SCENE_WIDTH, SCENE_HEIGHT, SCENE_WIDTH * sizeof framebuffer[0]);
    bool audio_due = audio_due_this_run();
    run_count++;
    if (!audio_due) return;
    tune_render(audio, audio_frames_per_video_frame, melody_on);
    audio_batch(audio, audio_frames_per_video_frame);
}

DEMO_EXPORT size_t retro_serialize_size(void) { return 0; }
DEMO_EXPORT bool retro_serialize(void *, size_t) { return false; }
DEMO_EXPORT bool retro_unserialize(const void *, size_t) { return false; }
DEMO_EXPORT void retro_cheat_reset(void) {}
DEMO_EXPORT void retro_cheat_set(unsigned, bool, const char *) {}
DEMO_EXPORT bool retro_load_game_special(unsigned, const retro_game_info *, size_t) { return false; }
DEMO_EXPORT unsigned retro_get_region(void) { return 0; }
DEMO_EXPORT void *retro_get_memory_data(unsigned) { return nullptr; }
DEMO_EXPORT size_t retro_get_memory_size(unsigned) { return 0; }
