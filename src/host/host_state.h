// Process-wide state that several subsystems share, each item with one
// writer. Everything is zero- or constant-initialised: the Windows build has
// no C runtime to run constructors.
#pragma once

#include "host/libretro.h"
#include "platform/platform.h"

// Start-up (set once, never changed).
extern platform_handle process_heap;
extern platform_handle protocol_output;
extern platform_handle diagnostic_stream;
extern platform_handle command_input;
extern platform_handle null_device;
extern platform_char **argument_vector;
extern int argument_count;

// UTF-8 copies of the command-line paths; null when absent.
extern char *system_directory;
extern char *save_directory;
extern char *core_assets_directory;
extern char *core_path;
extern char *playlist_directory;
extern char *user_name;
extern char *content_path;

// Cleared by QUIT and by the core's shutdown request; nothing sets it again.
extern int running;
// Only values above 1.0 are ever stored.
extern double frame_rate;
// Set while the platform holds the 1 ms timer resolution the run loop asked for.
extern int timer_resolution_held;
// Only values above 1000.0 are ever stored.
extern double sample_rate;
// Only RETRO_PIXEL_FORMAT_* values 0, 1 and 2 are ever stored.
extern uint32_t pixel_format;
extern int scummvm_flag;
extern retro_keyboard_event_t keyboard_callback;

// Entry points other subsystems call after bring-up.
extern void (*core_run)(void);
extern void (*core_reset)(void);
extern void (*core_unload_game)(void);
extern void (*core_deinit)(void);
