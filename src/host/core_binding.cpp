// Core binding: load the library named by command-line entry 1 (its platform
// form, not the UTF-8 copy), look up all sixteen entry points so that every
// missing one is named, and hand the core the host's six callbacks before
// any other call into it.
#include "host/core_binding.h"

#include "audio/audio_output.h"
#include "channel/diagnostics.h"
#include "channel/status_messages.h"
#include "core_services/environment.h"
#include "host/host_state.h"
#include "host/startup.h"
#include "input/input_queries.h"
#include "video/video_output.h"

platform_library core_library;

void *resolve_export(platform_library library, const char *name) {
    void *address = platform_get_proc_address(library, name);
    if (address) return address;
    write_diag_line(name);
    send_error("Export Libretro manquant");
    return nullptr;
}

static const char *const export_names[16] = {
    "retro_set_environment",    "retro_set_video_refresh",  "retro_set_audio_sample",
    "retro_set_audio_sample_batch", "retro_set_input_poll", "retro_set_input_state",
    "retro_set_controller_port_device", "retro_init",        "retro_deinit",
    "retro_api_version",        "retro_get_system_info",    "retro_get_system_av_info",
    "retro_load_game",          "retro_unload_game",        "retro_run",
    "retro_reset",
};

void bind_core(core_entry_points *entry) {
    send_stage("load-library", "Chargement du core Libretro natif...");
    core_library = platform_load_library(argument_vector[1]);
    if (!core_library) {
        send_error("Impossible de charger le core Libretro");
        write_diag_line("KALMO_STAGE=load-library");
        exit_with_cleanup(EXIT_LIBRARY_NOT_LOADED);
    }
    send_stage("bind-api", "Connexion native a l API Libretro...");
    void *found[16];
    bool missing = false;
    for (int i = 0; i < 16; i++) {
        found[i] = resolve_export(core_library, export_names[i]);
        if (!found[i]) missing = true;
    }
    if (missing) {
        platform_free_library(core_library);
        exit_with_cleanup(EXIT_EXPORT_MISSING);
    }
    ((void (*)(retro_environment_t))found[0])(environment_callback);
    ((void (*)(retro_video_refresh_t))found[1])(video_refresh);
    ((void (*)(retro_audio_sample_t))found[2])(audio_sample);
    ((void (*)(retro_audio_sample_batch_t))found[3])(audio_sample_batch);
    ((void (*)(retro_input_poll_t))found[4])(input_poll);
    ((void (*)(retro_input_state_t))found[5])(input_state);
    entry->set_controller_port_device = (void (*)(unsigned, unsigned))found[6];
    entry->init = (void (*)(void))found[7];
    entry->deinit = (void (*)(void))found[8];
    entry->api_version = (unsigned (*)(void))found[9];
    entry->get_system_info = (void (*)(retro_system_info *))found[10];
    entry->get_system_av_info = (void (*)(retro_system_av_info *))found[11];
    entry->load_game = (uint8_t (*)(const retro_game_info *))found[12];
    core_unload_game = (void (*)(void))found[13];
    core_run = (void (*)(void))found[14];
    core_reset = (void (*)(void))found[15];
    core_deinit = entry->deinit;
}
