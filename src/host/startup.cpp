// Start-up: capture the heap and the standard handles, point standard output
// at the NUL device so only our packets reach the parent, check and convert
// the command line. Also owns the common clean-up and exit.
#include "host/startup.h"

#include "channel/diagnostics.h"
#include "channel/status_messages.h"
#include "host/host_state.h"
#include "video/video_output.h"

static const char build_line[] = "HOST_BUILD=preview12-retromouse-reentry-resync-large-covers";

static bool handle_is_valid(platform_handle handle) {
    return handle != nullptr && handle != PLATFORM_INVALID_HANDLE;
}

// Heap copy of a platform string in UTF-8; null when it cannot be made.
static char *convert_to_utf8(const platform_char *text) {
    if (!text) return nullptr;
    int size = platform_to_utf8(text, nullptr, 0);
    if (size <= 0) return nullptr;
    char *copy = (char *)platform_heap_alloc(process_heap, (size_t)size);
    if (!copy) return nullptr;
    if (platform_to_utf8(text, copy, size) == 0) {
        platform_heap_free(process_heap, copy);
        return nullptr;
    }
    return copy;
}

static void capture_handles(void) {
    process_heap = platform_get_process_heap();
    protocol_output = platform_get_std_handle(PLATFORM_STD_OUTPUT);
    diagnostic_stream = platform_get_std_handle(PLATFORM_STD_ERROR);
    command_input = platform_get_std_handle(PLATFORM_STD_INPUT);
    null_device = platform_open_null_device();
    if (handle_is_valid(null_device)) platform_set_std_output(null_device);
}

// Each result is stored at once so the clean-up finds it whatever fails next.
static void convert_paths(void) {
    system_directory = convert_to_utf8(argument_vector[3]);
    save_directory = convert_to_utf8(argument_vector[4]);
    core_assets_directory = convert_to_utf8(argument_vector[5]);
    core_path = convert_to_utf8(argument_vector[1]);
    playlist_directory = convert_to_utf8(argument_vector[6]);
    user_name = convert_to_utf8(PLATFORM_TEXT("KALMO"));
    content_path = convert_to_utf8(argument_vector[2]);
}

void start_up(void) {
    capture_handles();
    argument_count = 0;
    argument_vector = platform_split_command_line(&argument_count);
    if (!argument_vector || argument_count <= 6) {
        send_error("Arguments du moteur KALMO invalides");
        platform_exit_process(EXIT_BAD_COMMAND_LINE);
    }
    write_diag_line(build_line);
    send_stage("startup", "Demarrage du moteur KALMO natif...");
    convert_paths();
    if (!system_directory || !save_directory || !core_assets_directory || !core_path || !playlist_directory ||
        !content_path) {
        send_error("Conversion de chemin impossible");
        exit_with_cleanup(EXIT_BAD_COMMAND_LINE);
    }
}

static void release(char **string) {
    if (*string) platform_heap_free(process_heap, *string);
    *string = nullptr;
}

void exit_with_cleanup(uint32_t code) {
    if (argument_vector) platform_free_argument_vector(argument_vector);
    argument_vector = nullptr;
    release_video_buffer();
    release(&system_directory);
    release(&save_directory);
    release(&core_assets_directory);
    release(&core_path);
    release(&playlist_directory);
    release(&user_name);
    if (handle_is_valid(null_device)) platform_close_handle(null_device);
    platform_exit_process(code);
}
