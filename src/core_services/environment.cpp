// Environment requests: every call is traced (first six calls of a code, its
// 50th and every 1000th; codes above 255 always), then dispatched on the low
// 16 bits of the command number so flags such as the experimental bit are
// ignored. Unknown and refused commands answer false and change nothing.
#include "core_services/environment.h"

#include "channel/diagnostics.h"
#include "channel/packet.h"
#include "channel/status_messages.h"
#include "channel/text_builder.h"
#include "core_services/core_log.h"
#include "core_services/core_options.h"
#include "host/host_state.h"

uint32_t environment_call_counts[256];

static const char *command_name(uint32_t code) {
    switch (code) {
    case 2: return "GET_OVERSCAN";
    case 3: return "GET_CAN_DUPE";
    case 7: return "SHUTDOWN";
    case 9: return "GET_SYSTEM_DIRECTORY";
    case 10: return "SET_PIXEL_FORMAT";
    case 11: return "SET_INPUT_DESCRIPTORS";
    case 12: return "SET_KEYBOARD_CALLBACK";
    case 14: return "SET_HW_RENDER";
    case 15: return "GET_VARIABLE";
    case 16: return "SET_VARIABLES";
    case 17: return "GET_VARIABLE_UPDATE";
    case 18: return "SET_SUPPORT_NO_GAME";
    case 19: return "GET_LIBRETRO_PATH";
    case 24: return "GET_INPUT_DEVICE_CAPABILITIES";
    case 27: return "GET_LOG_INTERFACE";
    case 30: return "GET_CORE_ASSETS_DIRECTORY";
    case 31: return "GET_SAVE_DIRECTORY";
    case 32: return "SET_SYSTEM_AV_INFO";
    case 35: return "SET_CONTROLLER_INFO";
    case 37: return "SET_GEOMETRY";
    case 38: return "GET_USERNAME";
    case 39: return "GET_LANGUAGE";
    case 45: return "GET_VFS_INTERFACE";
    case 47: return "GET_AUDIO_VIDEO_ENABLE";
    case 48: return "GET_MIDI_INTERFACE";
    case 49: return "GET_FASTFORWARDING";
    case 50: return "GET_TARGET_REFRESH_RATE";
    case 51: return "GET_INPUT_BITMASKS";
    case 52: return "GET_CORE_OPTIONS_VERSION";
    case 53: return "SET_CORE_OPTIONS";
    case 54: return "SET_CORE_OPTIONS_INTL";
    case 61: return "GET_INPUT_MAX_USERS";
    case 67: return "SET_CORE_OPTIONS_V2";
    case 68: return "SET_CORE_OPTIONS_V2_INTL";
    case 79: return "GET_PLAYLIST_DIRECTORY";
    default: return "UNKNOWN";
    }
}

static bool count_is_traced(uint32_t count) {
    return (count >= 1 && count <= 6) || count == 50 || count % 1000 == 0;
}

static void trace_call(uint32_t command, uint32_t code) {
    uint32_t count = 1;
    if (code <= 255) {
        count = ++environment_call_counts[code];
        if (!count_is_traced(count)) return;
    }
    char buffer[96];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, sizeof buffer - 1);
    text_append_string(&text, "ENV raw=");
    text_append_unsigned(&text, command);
    text_append_string(&text, " cmd=");
    text_append_unsigned(&text, code);
    text_append_string(&text, " count=");
    text_append_unsigned(&text, count);
    text_append_byte(&text, ' ');
    text_append_string(&text, command_name(code));
    write_diag_line(text_finish(&text));
}

template <typename T> static void give(void *data, T value) {
    if (data) *(T *)data = value;
}

static bool set_pixel_format(const void *data) {
    if (!data) return false;
    uint32_t format = *(const uint32_t *)data;
    if (format > RETRO_PIXEL_FORMAT_RGB565) return false;
    pixel_format = format;
    return true;
}

static void take_timing(const retro_system_timing *timing) {
    if (timing->fps > 1.0) frame_rate = timing->fps;
    if (timing->sample_rate > 1000.0) sample_rate = timing->sample_rate;
}

static bool set_system_av_info(const void *data) {
    if (!data) return true;
    const retro_system_av_info *av = (const retro_system_av_info *)data;
    take_timing(&av->timing);
    send_geometry("av", av->geometry.base_width, av->geometry.base_height, av->geometry.aspect_ratio);
    return true;
}

static bool set_geometry(const void *data) {
    if (!data) return true;
    const retro_game_geometry *geometry = (const retro_game_geometry *)data;
    send_geometry("geometry", geometry->base_width, geometry->base_height, geometry->aspect_ratio);
    return true;
}

static bool request_shutdown(void) {
    send_status("{\"state\":\"shutdown\",\"message\":\"ScummVM demande la fermeture\"}");
    running = 0;
    return true;
}

static bool give_log_interface(void *data) {
    if (!data) return false;
    ((retro_log_callback *)data)->log = core_log;
    return true;
}

static bool set_keyboard_callback(const void *data) {
    if (data) keyboard_callback = ((const retro_keyboard_callback *)data)->callback;
    return true;
}

bool environment_callback(unsigned command, void *data) {
    uint32_t code = command & 0xffffu;
    trace_call(command, code);
    switch (code) {
    case RETRO_ENVIRONMENT_SET_ROTATION:
    case RETRO_ENVIRONMENT_SET_PERFORMANCE_LEVEL:
    case RETRO_ENVIRONMENT_SET_INPUT_DESCRIPTORS:
    case RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME:
    case RETRO_ENVIRONMENT_SET_CONTROLLER_INFO:
    case RETRO_ENVIRONMENT_SET_MEMORY_MAPS:
    case RETRO_ENVIRONMENT_SET_SUPPORT_ACHIEVEMENTS: return true;
    case RETRO_ENVIRONMENT_GET_OVERSCAN: give<bool>(data, false); return true;
    case RETRO_ENVIRONMENT_GET_CAN_DUPE: give<bool>(data, true); return true;
    case RETRO_ENVIRONMENT_SHUTDOWN: return request_shutdown();
    case RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY: give<const char *>(data, system_directory); return true;
    case RETRO_ENVIRONMENT_SET_PIXEL_FORMAT: return set_pixel_format(data);
    case RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK: return set_keyboard_callback(data);
    case RETRO_ENVIRONMENT_GET_VARIABLE: return data && answer_variable_query((retro_variable *)data);
    case RETRO_ENVIRONMENT_SET_VARIABLES:
        if (data) report_declared_variables((const retro_variable *)data);
        return true;
    case RETRO_ENVIRONMENT_GET_VARIABLE_UPDATE: give<bool>(data, false); return true;
    case RETRO_ENVIRONMENT_GET_LIBRETRO_PATH: give<const char *>(data, core_path); return true;
    case RETRO_ENVIRONMENT_GET_INPUT_DEVICE_CAPABILITIES: give<uint64_t>(data, 110); return true;
    case RETRO_ENVIRONMENT_GET_LOG_INTERFACE: return give_log_interface(data);
    case RETRO_ENVIRONMENT_GET_CORE_ASSETS_DIRECTORY: give<const char *>(data, core_assets_directory); return true;
    case RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY: give<const char *>(data, save_directory); return true;
    case RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO: return set_system_av_info(data);
    case RETRO_ENVIRONMENT_SET_GEOMETRY: return set_geometry(data);
    case RETRO_ENVIRONMENT_GET_USERNAME: give<const char *>(data, user_name); return true;
    case RETRO_ENVIRONMENT_GET_LANGUAGE: give<uint32_t>(data, RETRO_LANGUAGE_ENGLISH); return true;
    case RETRO_ENVIRONMENT_GET_AUDIO_VIDEO_ENABLE: give<int32_t>(data, 3); return true;
    case RETRO_ENVIRONMENT_GET_FASTFORWARDING: give<bool>(data, false); return true;
    case RETRO_ENVIRONMENT_GET_TARGET_REFRESH_RATE: give<float>(data, 60.0f); return true;
    case RETRO_ENVIRONMENT_GET_CORE_OPTIONS_VERSION: give<uint32_t>(data, 0); return true;
    case RETRO_ENVIRONMENT_GET_INPUT_MAX_USERS: give<uint32_t>(data, 1); return true;
    case RETRO_ENVIRONMENT_GET_PLAYLIST_DIRECTORY:
        give<const char *>(data, playlist_directory);
        return playlist_directory != nullptr;
    default: return false;
    }
}
