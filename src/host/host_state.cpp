// Definitions of the shared process-wide state declared in host_state.h.
#include "host/host_state.h"

platform_handle process_heap;
platform_handle protocol_output;
platform_handle diagnostic_stream;
platform_handle command_input;
platform_handle null_device;
platform_char **argument_vector;
int argument_count;

char *system_directory;
char *save_directory;
char *core_assets_directory;
char *core_path;
char *playlist_directory;
char *user_name;
char *content_path;

int running = 1;
double frame_rate = 60.0;
int timer_resolution_held;
double sample_rate = 48000.0;
uint32_t pixel_format = RETRO_PIXEL_FORMAT_0RGB1555;
int scummvm_flag;
retro_keyboard_event_t keyboard_callback;

void (*core_run)(void);
void (*core_reset)(void);
void (*core_unload_game)(void);
void (*core_deinit)(void);
