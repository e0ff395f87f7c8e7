// The fault core: a Libretro core for the few faults the probe core has no
// words for. The first word of its content file names the fault; during its
// first retro_run it commits that fault, presents one plain 2 x 2 frame (so
// the test sees the host carried on), and requests shutdown.
//   null_and_marker_frames   a null frame and a hardware-frame marker frame
//   million_environment_calls 1,000,000 GET_CAN_DUPE requests
#include <stdio.h>
#include <string.h>

#include "libretro.h"

#define FAULT_EXPORT extern "C" __attribute__((visibility("default")))

static retro_environment_t environment;
static retro_video_refresh_t video_refresh;
static char fault[64];

static void commit_fault(void) {
    if (strcmp(fault, "null_and_marker_frames") == 0) {
        static const uint16_t pixels[16 * 16] = {};
        video_refresh(nullptr, 16, 16, 32);
        video_refresh(RETRO_HW_FRAME_BUFFER_VALID, 16, 16, 32);
        video_refresh(pixels, 16, 16, 32);
    } else if (strcmp(fault, "million_environment_calls") == 0) {
        for (int i = 0; i < 1000000; i++) {
            bool can_dupe = false;
            environment(RETRO_ENVIRONMENT_GET_CAN_DUPE, &can_dupe);
        }
    }
}

FAULT_EXPORT void retro_run(void) {
    static bool done;
    if (done) return;
    done = true;
    commit_fault();
    static const uint16_t plain[2 * 2] = {0x7fff, 0, 0x001f, 0x7c00};
    video_refresh(plain, 2, 2, 4);
    environment(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
}

FAULT_EXPORT bool retro_load_game(const retro_game_info *game) {
    FILE *file = game && game->path ? fopen(game->path, "rb") : nullptr;
    if (!file) return false;
    bool read = fscanf(file, "%63s", fault) == 1;
    fclose(file);
    return read;
}

FAULT_EXPORT void retro_get_system_info(retro_system_info *info) {
    info->library_name = "fault";
    info->library_version = "1";
    info->valid_extensions = "fault";
    info->need_fullpath = true;
    info->block_extract = false;
}

FAULT_EXPORT void retro_get_system_av_info(retro_system_av_info *info) {
    info->geometry = {2, 2, 2, 2, 1.0f};
    info->timing = {60.0, 48000.0};
}

FAULT_EXPORT void retro_set_environment(retro_environment_t callback) { environment = callback; }
FAULT_EXPORT void retro_set_video_refresh(retro_video_refresh_t callback) { video_refresh = callback; }
FAULT_EXPORT void retro_set_audio_sample(retro_audio_sample_t) {}
FAULT_EXPORT void retro_set_audio_sample_batch(retro_audio_sample_batch_t) {}
FAULT_EXPORT void retro_set_input_poll(retro_input_poll_t) {}
FAULT_EXPORT void retro_set_input_state(retro_input_state_t) {}
FAULT_EXPORT void retro_set_controller_port_device(unsigned, unsigned) {}
FAULT_EXPORT void retro_init(void) {}
FAULT_EXPORT void retro_deinit(void) {}
FAULT_EXPORT unsigned retro_api_version(void) { return 1; }
FAULT_EXPORT void retro_unload_game(void) {}
FAULT_EXPORT void retro_reset(void) {}
