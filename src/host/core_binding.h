// Loading the core library and binding its sixteen entry points.
#pragma once

#include "host/libretro.h"
#include "platform/platform.h"

// Entry points used only during bring-up.
struct core_entry_points {
    void (*set_controller_port_device)(unsigned port, unsigned device);
    void (*init)(void);
    void (*deinit)(void);
    unsigned (*api_version)(void);
    void (*get_system_info)(retro_system_info *info);
    void (*get_system_av_info)(retro_system_av_info *info);
    // Only the low byte of the result counts.
    uint8_t (*load_game)(const retro_game_info *game);
};

extern platform_library core_library;

// Ends the process with code 3 or 4 when the core cannot be bound; otherwise
// registers the host's six callbacks and fills `entry`.
void bind_core(core_entry_points *entry);
void *resolve_export(platform_library library, const char *name);
