// The published Libretro types, constants and callback signatures the host
// uses, declared here from the API's published values. Sizes and member
// offsets are pinned by static checks so a layout slip fails the build.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define RETRO_API_VERSION 1

#define RETRO_DEVICE_NONE 0
#define RETRO_DEVICE_JOYPAD 1
#define RETRO_DEVICE_MOUSE 2
#define RETRO_DEVICE_KEYBOARD 3
#define RETRO_DEVICE_LIGHTGUN 4
#define RETRO_DEVICE_ANALOG 5
#define RETRO_DEVICE_POINTER 6

#define RETRO_DEVICE_INDEX_ANALOG_LEFT 0
#define RETRO_DEVICE_ID_ANALOG_X 0
#define RETRO_DEVICE_ID_ANALOG_Y 1

#define RETRO_DEVICE_ID_MOUSE_X 0
#define RETRO_DEVICE_ID_MOUSE_Y 1
#define RETRO_DEVICE_ID_MOUSE_LEFT 2
#define RETRO_DEVICE_ID_MOUSE_RIGHT 3
#define RETRO_DEVICE_ID_MOUSE_WHEELUP 4
#define RETRO_DEVICE_ID_MOUSE_WHEELDOWN 5
#define RETRO_DEVICE_ID_MOUSE_MIDDLE 6

#define RETRO_DEVICE_ID_POINTER_X 0
#define RETRO_DEVICE_ID_POINTER_Y 1
#define RETRO_DEVICE_ID_POINTER_PRESSED 2
#define RETRO_DEVICE_ID_POINTER_COUNT 3
#define RETRO_DEVICE_ID_POINTER_IS_OFFSCREEN 15

#define RETRO_DEVICE_ID_JOYPAD_B 0
#define RETRO_DEVICE_ID_JOYPAD_A 8

#define RETRO_ENVIRONMENT_EXPERIMENTAL 0x10000
#define RETRO_ENVIRONMENT_SET_ROTATION 1
#define RETRO_ENVIRONMENT_GET_OVERSCAN 2
#define RETRO_ENVIRONMENT_GET_CAN_DUPE 3
#define RETRO_ENVIRONMENT_SHUTDOWN 7
#define RETRO_ENVIRONMENT_SET_PERFORMANCE_LEVEL 8
#define RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY 9
#define RETRO_ENVIRONMENT_SET_PIXEL_FORMAT 10
#define RETRO_ENVIRONMENT_SET_INPUT_DESCRIPTORS 11
#define RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK 12
#define RETRO_ENVIRONMENT_SET_HW_RENDER 14
#define RETRO_ENVIRONMENT_GET_VARIABLE 15
#define RETRO_ENVIRONMENT_SET_VARIABLES 16
#define RETRO_ENVIRONMENT_GET_VARIABLE_UPDATE 17
#define RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME 18
#define RETRO_ENVIRONMENT_GET_LIBRETRO_PATH 19
#define RETRO_ENVIRONMENT_GET_INPUT_DEVICE_CAPABILITIES 24
#define RETRO_ENVIRONMENT_GET_LOG_INTERFACE 27
#define RETRO_ENVIRONMENT_GET_CORE_ASSETS_DIRECTORY 30
#define RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY 31
#define RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO 32
#define RETRO_ENVIRONMENT_SET_CONTROLLER_INFO 35
#define RETRO_ENVIRONMENT_SET_MEMORY_MAPS 36
#define RETRO_ENVIRONMENT_SET_GEOMETRY 37
#define RETRO_ENVIRONMENT_GET_USERNAME 38
#define RETRO_ENVIRONMENT_GET_LANGUAGE 39
#define RETRO_ENVIRONMENT_SET_SUPPORT_ACHIEVEMENTS 42
#define RETRO_ENVIRONMENT_GET_AUDIO_VIDEO_ENABLE 47
#define RETRO_ENVIRONMENT_GET_FASTFORWARDING 49
#define RETRO_ENVIRONMENT_GET_TARGET_REFRESH_RATE 50
#define RETRO_ENVIRONMENT_GET_CORE_OPTIONS_VERSION 52
#define RETRO_ENVIRONMENT_GET_INPUT_MAX_USERS 61
#define RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY 79

#define RETRO_PIXEL_FORMAT_0RGB1555 0
#define RETRO_PIXEL_FORMAT_XRGB8888 1
#define RETRO_PIXEL_FORMAT_RGB565 2

#define RETRO_LANGUAGE_ENGLISH 0

// Frame data pointer a core passes when it rendered to a hardware context.
#define RETRO_HW_FRAME_BUFFER_VALID ((const void *)(intptr_t)-1)

// A fixed underlying type makes every 32-bit level a core passes a valid value.
enum retro_log_level : int { RETRO_LOG_DEBUG = 0, RETRO_LOG_INFO, RETRO_LOG_WARN, RETRO_LOG_ERROR, RETRO_LOG_DUMMY = 0x7fffffff };

struct retro_system_info {
    const char *library_name;
    const char *library_version;
    const char *valid_extensions;
    // Published as bools; read as bytes so any non-zero byte counts as set.
    uint8_t need_fullpath;
    uint8_t block_extract;
};

struct retro_game_info {
    const char *path;
    const void *data;
    size_t size;
    const char *meta;
};

struct retro_game_geometry {
    unsigned base_width;
    unsigned base_height;
    unsigned max_width;
    unsigned max_height;
    float aspect_ratio;
};

struct retro_system_timing {
    double fps;
    double sample_rate;
};

struct retro_system_av_info {
    struct retro_game_geometry geometry;
    struct retro_system_timing timing;
};

struct retro_variable {
    const char *key;
    const char *value;
};

typedef void (*retro_log_printf_t)(enum retro_log_level level, const char *fmt, ...);
struct retro_log_callback {
    retro_log_printf_t log;
};

typedef void (*retro_keyboard_event_t)(bool down, unsigned keycode, uint32_t character, uint16_t key_modifiers);
struct retro_keyboard_callback {
    retro_keyboard_event_t callback;
};

typedef bool (*retro_environment_t)(unsigned cmd, void *data);
typedef void (*retro_video_refresh_t)(const void *data, unsigned width, unsigned height, size_t pitch);
typedef void (*retro_audio_sample_t)(int16_t left, int16_t right);
typedef size_t (*retro_audio_sample_batch_t)(const int16_t *data, size_t frames);
typedef void (*retro_input_poll_t)(void);
typedef int16_t (*retro_input_state_t)(unsigned port, unsigned device, unsigned index, unsigned id);

static_assert(sizeof(unsigned) == 4 && sizeof(void *) == 8, "64-bit targets only");
static_assert(sizeof(bool) == 1, "bool is one byte in the published structures");
static_assert(sizeof(retro_system_info) == 32, "retro_system_info layout");
static_assert(offsetof(retro_system_info, valid_extensions) == 16, "retro_system_info layout");
static_assert(offsetof(retro_system_info, need_fullpath) == 24, "retro_system_info layout");
static_assert(offsetof(retro_system_info, block_extract) == 25, "retro_system_info layout");
static_assert(sizeof(retro_game_info) == 32, "retro_game_info layout");
static_assert(offsetof(retro_game_info, size) == 16, "retro_game_info layout");
static_assert(offsetof(retro_game_info, meta) == 24, "retro_game_info layout");
static_assert(sizeof(retro_game_geometry) == 20, "retro_game_geometry layout");
static_assert(offsetof(retro_game_geometry, aspect_ratio) == 16, "retro_game_geometry layout");
static_assert(sizeof(retro_system_av_info) == 40, "retro_system_av_info layout");
static_assert(offsetof(retro_system_av_info, timing) == 24, "retro_system_av_info layout");
static_assert(offsetof(retro_system_timing, sample_rate) == 8, "retro_system_timing layout");
static_assert(sizeof(retro_variable) == 16, "retro_variable layout");
static_assert(sizeof(retro_log_callback) == 8, "retro_log_callback layout");
static_assert(sizeof(retro_keyboard_callback) == 8, "retro_keyboard_callback layout");
static_assert(sizeof(retro_log_level) == 4, "retro_log_level is a 32-bit enumeration");
