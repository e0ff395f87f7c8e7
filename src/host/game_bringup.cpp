// Game bring-up: system info and the "core" message, core init, the ScummVM
// controller port, the content load and the audio-video info.
#include "host/game_bringup.h"

#include "channel/diagnostics.h"
#include "channel/packet.h"
#include "channel/status_messages.h"
#include "channel/text_builder.h"
#include "host/host_state.h"
#include "host/startup.h"

static void *content_data;
static size_t content_size;

static bool equals(const char *a, const char *b) {
    if (!a) return false;
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

// The core's name and version are escaped so the message stays valid JSON;
// the bounds still cap the name at 430 bytes of text and the version at 450.
static void send_core_message(const retro_system_info *info, unsigned api_version) {
    char buffer[512];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, 430);
    text_append_string(&text, "{\"state\":\"core\",\"message\":\"");
    text_append_escaped(&text, info->library_name ? info->library_name : "Libretro");
    if (info->library_version && info->library_version[0]) {
        text.bound = 450;
        text_append_byte(&text, ' ');
        text_append_escaped(&text, info->library_version);
    }
    text_append_closing(&text, " \xC2\xB7 API ");
    text.bound = sizeof buffer - 1;
    text_append_unsigned(&text, api_version);
    text_append_closing(&text, "\"}");
    send_status(text_finish(&text));
}

static void write_labelled(const char *label, const char *value) {
    write_diag_text(label);
    write_diag_text(value);
    write_diag_end();
}

static void write_system_info_block(const retro_system_info *info) {
    write_diag_line("SYSTEM_INFO_BEGIN");
    write_labelled("library_name=", info->library_name);
    write_labelled("library_version=", info->library_version);
    write_labelled("valid_extensions=", info->valid_extensions);
    write_diag_text(info->need_fullpath != 0 ? "need_fullpath=1" : "need_fullpath=0");
    write_diag_text(info->block_extract != 0 ? " block_extract=1" : " block_extract=0");
    write_diag_end();
    write_diag_line("SYSTEM_INFO_END");
}

// A core that does not want a full path refuses a game without its bytes, so
// read the file whole. On any failure the core gets no data and decides.
static void read_content_data(void) {
    platform_handle file = platform_open_file_for_reading(argument_vector[2]);
    if (file == PLATFORM_INVALID_HANDLE || file == nullptr) return;
    uint64_t size = 0;
    if (platform_file_size(file, &size) && size > 0 && size <= 0x7fffffffu) {
        uint8_t *block = (uint8_t *)platform_heap_alloc(process_heap, (size_t)size);
        uint64_t filled = 0;
        while (block && filled < size) {
            uint32_t delivered = 0;
            if (!platform_read(file, block + filled, (uint32_t)(size - filled), &delivered) || delivered == 0) break;
            filled += delivered;
        }
        if (block && filled == size) {
            content_data = block;
            content_size = (size_t)size;
        } else if (block) {
            platform_heap_free(process_heap, block);
        }
    }
    platform_close_handle(file);
}

void release_content_data(void) {
    if (content_data) platform_heap_free(process_heap, content_data);
    content_data = nullptr;
    content_size = 0;
}

static void load_content(const core_entry_points *entry, bool wants_data) {
    retro_game_info game = {content_path, nullptr, 0, nullptr};
    write_diag_line("CONTENT_BEGIN");
    write_labelled("path=", content_path);
    write_diag_line("CONTENT_END");
    send_stage("load-content", "Detection et chargement du jeu...");
    if (wants_data) {
        read_content_data();
        game.data = content_data;
        game.size = content_size;
    }
    uint8_t accepted = entry->load_game(&game);
    write_diag_line(accepted ? "LOAD_CONTENT_RETURN=1" : "LOAD_CONTENT_RETURN=0");
    if (accepted) return;
    send_error("Le core a refuse le contenu");
    write_diag_line("KALMO_STAGE=load-content");
    entry->deinit();
    release_content_data();
    platform_free_library(core_library);
    exit_with_cleanup(EXIT_CONTENT_REFUSED);
}

void bring_up_game(const core_entry_points *entry) {
    send_stage("system-info", "Lecture des informations du core...");
    retro_system_info info = {};
    entry->get_system_info(&info);
    scummvm_flag = equals(info.library_name, "ScummVM") ? 1 : 0;
    unsigned api_version = entry->api_version();
    send_core_message(&info, api_version);
    write_system_info_block(&info);
    bool wants_data = info.need_fullpath == 0;

    send_stage("core-init", "Initialisation native du core...");
    entry->init();
    if (scummvm_flag) {
        send_stage("input-device", "Activation des entrees ScummVM...");
        entry->set_controller_port_device(0, RETRO_DEVICE_JOYPAD);
        write_diag_line("CONTROLLER_PORT port=0 device=RETRO_DEVICE_JOYPAD(1) ; CORE_OPTION "
                        "scummvm_pointer_device=mouse ; INPUT=RETRO_DEVICE_MOUSE ; "
                        "REENTRY_SYNC=frontend-relative-delta");
    }
    load_content(entry, wants_data);

    retro_system_av_info av = {};
    entry->get_system_av_info(&av);
    if (av.timing.fps > 1.0) frame_rate = av.timing.fps;
    if (av.timing.sample_rate > 1000.0) sample_rate = av.timing.sample_rate;
    send_geometry("av", av.geometry.base_width, av.geometry.base_height, av.geometry.aspect_ratio);
    send_status("{\"state\":\"running\",\"message\":\"Moteur Libretro natif actif\"}");
}
