// The fake platform's operations, giving each the meaning the host relies on
// from the real layers, over the scripted state in `fake`.
#include "fake_platform.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/audio_output.h"
#include "core_services/environment.h"
#include "host/host_state.h"
#include "input/command_reader.h"
#include "input/input_queries.h"
#include "input/input_state.h"
#include "video/video_output.h"

fake_platform_state fake;

static std::vector<std::vector<char>> argument_storage;
static std::vector<char *> argument_pointers;

platform_handle platform_get_process_heap(void) { return (platform_handle)&fake; }

void *platform_heap_alloc(platform_handle, size_t size) {
    if (fake.failing_allocations > 0) {
        fake.failing_allocations--;
        return nullptr;
    }
    fake.allocations++;
    fake.allocation_sizes.push_back(size);
    return std::malloc(size ? size : 1);
}

void platform_heap_free(platform_handle, void *block) {
    fake.frees++;
    std::free(block);
}

platform_handle platform_get_std_handle(enum platform_std_stream stream) {
    if (stream == PLATFORM_STD_INPUT) return fake.input;
    if (stream == PLATFORM_STD_OUTPUT) return fake.output;
    return fake.error;
}

platform_handle platform_open_null_device(void) {
    return fake.null_device_fails ? PLATFORM_INVALID_HANDLE : fake.null_device;
}

void platform_set_std_output(platform_handle handle) { fake.std_output_now = handle; }

void platform_close_handle(platform_handle handle) { fake.closed.push_back(handle); }

platform_char **platform_split_command_line(int *count) {
    *count = 0;
    if (fake.split_fails) return nullptr;
    argument_storage.clear();
    argument_pointers.clear();
    for (const std::string &argument : fake.arguments)
        argument_storage.emplace_back(argument.c_str(), argument.c_str() + argument.size() + 1);
    for (auto &storage : argument_storage) argument_pointers.push_back(storage.data());
    argument_pointers.push_back(nullptr);
    *count = (int)fake.arguments.size();
    return argument_pointers.data();
}

void platform_free_argument_vector(platform_char **) { fake.argument_vector_frees++; }

int platform_to_utf8(const platform_char *text, char *out, int out_size) {
    if (fake.unconvertible.count(text)) return 0;
    int size = (int)std::strlen(text) + 1;
    if (out_size == 0) return size;
    if (out_size < size) return 0;
    std::memcpy(out, text, (size_t)size);
    return size;
}

bool platform_write(platform_handle handle, const void *bytes, uint32_t count, uint32_t *written) {
    *written = 0;
    if (fake.failing_writes > 0) {
        fake.failing_writes--;
        fake.writes.push_back({handle, count, 0});
        return false;
    }
    if (fake.zero_writes > 0) {
        fake.zero_writes--;
        fake.writes.push_back({handle, count, 0});
        return true;
    }
    uint32_t take = fake.write_limit && count > fake.write_limit ? fake.write_limit : count;
    std::string *stream = handle == fake.output        ? &fake.protocol
                          : handle == fake.error       ? &fake.diagnostics
                          : handle == fake.null_device ? &fake.sink
                                                       : nullptr;
    if (!stream) return false;
    stream->append(static_cast<const char *>(bytes), take);
    fake.writes.push_back({handle, count, take});
    *written = take;
    return true;
}

bool platform_read(platform_handle handle, void *bytes, uint32_t count, uint32_t *delivered) {
    *delivered = 0;
    fake.read_calls++;
    if (handle != fake.input || fake.pipe_broken) return false;
    uint32_t take = count;
    if (fake.read_limit && take > fake.read_limit) take = fake.read_limit;
    if (take > fake.pipe.size()) take = (uint32_t)fake.pipe.size();
    std::memcpy(bytes, fake.pipe.data(), take);
    fake.pipe.erase(0, take);
    *delivered = take;
    return true;
}

bool platform_peek_pipe(platform_handle handle, uint32_t *available) {
    fake.peek_calls++;
    *available = 0;
    if (handle != fake.input || fake.pipe_broken) return false;
    *available = (uint32_t)fake.pipe.size();
    return true;
}

platform_handle platform_open_file_for_reading(const platform_char *) { return PLATFORM_INVALID_HANDLE; }

bool platform_file_size(platform_handle, uint64_t *) { return false; }

platform_library platform_load_library(const platform_char *) { return nullptr; }

void *platform_get_proc_address(platform_library, const char *) { return nullptr; }

void platform_free_library(platform_library) { fake.libraries_freed++; }

int64_t platform_counter_frequency(void) { return fake.frequency; }

int64_t platform_counter(void) { return fake.counter; }

void platform_sleep(uint32_t milliseconds) {
    fake.sleeps.push_back(milliseconds);
    if (fake.sleep_tick_ms <= 0 || milliseconds == 0) {
        advance_counter_ms(milliseconds);
        return;
    }
    double tick = fake.sleep_tick_ms * (double)fake.frequency / 1000.0;
    double wake = (double)fake.counter + (double)milliseconds * (double)fake.frequency / 1000.0;
    fake.counter = (int64_t)(std::ceil(wake / tick - 1e-9) * tick);
}

bool platform_request_timer_resolution(uint32_t milliseconds) {
    fake.timer_calls.emplace_back("request " + std::to_string(milliseconds), fake.protocol.size());
    if (fake.timer_request_granted && fake.sleep_tick_ms > 0) fake.sleep_tick_ms = milliseconds;
    return fake.timer_request_granted;
}

void platform_release_timer_resolution(uint32_t milliseconds) {
    fake.timer_calls.emplace_back("release " + std::to_string(milliseconds), fake.protocol.size());
}

void platform_exit_process(uint32_t code) {
    fake.exits.push_back(code);
    throw fake_exit{code};
}

void advance_counter_ms(double milliseconds) {
    fake.counter += (int64_t)(milliseconds * (double)fake.frequency / 1000.0);
}

void reset_fake_host(void) {
    release_video_buffer();
    fake = fake_platform_state{};
    process_heap = platform_get_process_heap();
    protocol_output = fake.output;
    diagnostic_stream = fake.error;
    command_input = fake.input;
    null_device = nullptr;
    argument_vector = nullptr;
    argument_count = 0;
    system_directory = save_directory = core_assets_directory = core_path = nullptr;
    playlist_directory = user_name = content_path = nullptr;
    running = 1;
    frame_rate = 60.0;
    timer_resolution_held = 0;
    sample_rate = 48000.0;
    pixel_format = 0;
    scummvm_flag = 0;
    keyboard_callback = nullptr;
    core_run = core_reset = core_unload_game = core_deinit = nullptr;
    std::memset(environment_call_counts, 0, sizeof environment_call_counts);
    gathered_sample_count = 0;
    command_reader = command_reader_state{};
    input = input_state_fields{};
    input_queries = input_query_state{};
}
