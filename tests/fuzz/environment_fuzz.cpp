// libFuzzer harness of the environment callback, over the fake platform.
//
// Each input is a run of calls with arbitrary command numbers. The data is
// null, or a heap block of exactly the size of the published type the
// command carries, filled from the input (AddressSanitizer then catches any
// access past it); for commands the host ignores or refuses, the block is
// poisoned, so touching it at all is caught. Option queries and declarations
// get real strings made from the input, and a declaration of 256 entries or
// more has no terminator, so reading a 257th entry is caught too.
//
// After every call: the result is the one the command table gives, the
// trace line is written exactly when the per-code filter says, each option
// line is the exact cut text, the status messages parse as JSON with the
// sizes given, and the values the host keeps stay inside their ranges. The
// log printer handed out is called with input text and its line checked.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "core_services/environment.h"
#include "fake_platform.h"
#include "fuzz_support.h"
#include "host/host_state.h"

namespace {

const char *const known_keys[] = {"scummvm_pointer_device", "scummvm_samplerate", "scummvm_framerate",
                                  "scummvm_analog_deadzone"};

// Size of the published type a command's data points to; 0 when the host
// must not touch the data at all.
size_t data_size(uint32_t code) {
    switch (code) {
    case 2: case 3: case 17: case 49: return sizeof(bool);
    case 9: case 19: case 30: case 31: case 38: case 79: return sizeof(const char *);
    case 10: case 39: case 52: case 61: return sizeof(uint32_t);
    case 12: return sizeof(retro_keyboard_callback);
    case 24: return sizeof(uint64_t);
    case 27: return sizeof(retro_log_callback);
    case 32: return sizeof(retro_system_av_info);
    case 37: return sizeof(retro_game_geometry);
    case 47: return sizeof(int32_t);
    case 50: return sizeof(float);
    default: return 0;
    }
}

bool accepted_whatever_the_data(uint32_t code) {
    switch (code) {
    case 1: case 2: case 3: case 7: case 8: case 9: case 11: case 12: case 16: case 17: case 18: case 19:
    case 24: case 30: case 31: case 32: case 35: case 36: case 37: case 38: case 39: case 42: case 47: case 49:
    case 50: case 52: case 61: return true;
    default: return false;
    }
}

bool is_known_key(const char *key) {
    if (!key) return false;
    static const char *const all[] = {"scummvm_pointer_device", "scummvm_mouse_speed",
        "scummvm_mouse_fine_control_speed_reduction", "scummvm_gamepad_cursor_speed",
        "scummvm_gamepad_cursor_acceleration_time", "scummvm_analog_response", "scummvm_analog_deadzone",
        "scummvm_gamepad_cursor_only", "scummvm_video_hw_acceleration", "scummvm_framerate", "scummvm_samplerate"};
    for (const char *known : all)
        if (std::strcmp(known, key) == 0) return true;
    return false;
}

std::string variable_line(const char *key, const char *value) {
    std::string line = std::string("VAR key=") + (key ? key : "") + " value=" + (value ? value : "<null>");
    return line.substr(0, 500) + "\r\n";
}

bool traced(uint32_t code, uint32_t count) {
    if (code > 255) return true;
    return (count >= 1 && count <= 6) || count == 50 || count % 1000 == 0;
}

std::string trace_line(uint32_t command, uint32_t code, uint32_t count) {
    static const std::pair<uint32_t, const char *> names[] = {
        {2, "GET_OVERSCAN"}, {3, "GET_CAN_DUPE"}, {7, "SHUTDOWN"}, {9, "GET_SYSTEM_DIRECTORY"},
        {10, "SET_PIXEL_FORMAT"}, {11, "SET_INPUT_DESCRIPTORS"}, {12, "SET_KEYBOARD_CALLBACK"},
        {14, "SET_HW_RENDER"}, {15, "GET_VARIABLE"}, {16, "SET_VARIABLES"}, {17, "GET_VARIABLE_UPDATE"},
        {18, "SET_SUPPORT_NO_GAME"}, {19, "GET_LIBRETRO_PATH"}, {24, "GET_INPUT_DEVICE_CAPABILITIES"},
        {27, "GET_LOG_INTERFACE"}, {30, "GET_CORE_ASSETS_DIRECTORY"}, {31, "GET_SAVE_DIRECTORY"},
        {32, "SET_SYSTEM_AV_INFO"}, {35, "SET_CONTROLLER_INFO"}, {37, "SET_GEOMETRY"}, {38, "GET_USERNAME"},
        {39, "GET_LANGUAGE"}, {45, "GET_VFS_INTERFACE"}, {47, "GET_AUDIO_VIDEO_ENABLE"},
        {48, "GET_MIDI_INTERFACE"}, {49, "GET_FASTFORWARDING"}, {50, "GET_TARGET_REFRESH_RATE"},
        {51, "GET_INPUT_BITMASKS"}, {52, "GET_CORE_OPTIONS_VERSION"}, {53, "SET_CORE_OPTIONS"},
        {54, "SET_CORE_OPTIONS_INTL"}, {61, "GET_INPUT_MAX_USERS"}, {67, "SET_CORE_OPTIONS_V2"},
        {68, "SET_CORE_OPTIONS_V2_INTL"}, {79, "GET_PLAYLIST_DIRECTORY"}};
    const char *name = "UNKNOWN";
    for (const auto &entry : names)
        if (entry.first == code) name = entry.second;
    return "ENV raw=" + std::to_string(command) + " cmd=" + std::to_string(code) + " count=" +
           std::to_string(count) + " " + name + "\r\n";
}

uint32_t pick_command(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return in.ConsumeIntegral<uint32_t>();
    case 1: return in.ConsumeIntegralInRange<uint32_t>(0, 300) | RETRO_ENVIRONMENT_EXPERIMENTAL;
    case 2: return in.ConsumeIntegralInRange<uint32_t>(0, 0xffff) | (in.ConsumeIntegral<uint32_t>() << 16);
    default: return in.ConsumeIntegralInRange<uint32_t>(0, 90);
    }
}

// A string from the input, or null; it lives in `keep`.
const char *text_or_null(FuzzedDataProvider &in, std::deque<std::string> &keep) {
    if (in.ConsumeIntegralInRange(0, 9) == 0) return nullptr;
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
        keep.push_back(known_keys[in.ConsumeIntegralInRange<size_t>(0, 3)]);
    } else {
        size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 40)
                                         : in.ConsumeIntegralInRange<size_t>(0, 1200);
        keep.push_back(without_nul(in.ConsumeBytesAsString(length)));
    }
    return keep.back().c_str();
}

struct call_check {
    std::string expected_diagnostics;
    std::deque<std::string> keep;
};

void call_get_variable(FuzzedDataProvider &in, uint32_t command, call_check &check) {
    bool give = in.ConsumeIntegralInRange(0, 15) != 0;
    auto query = std::make_unique<retro_variable>();
    query->key = text_or_null(in, check.keep);
    query->value = "left as it was";
    bool result = environment_callback(command, give ? query.get() : nullptr);
    if (!give) {
        FUZZ_CHECK(!result, "GET_VARIABLE with null data");
        return;
    }
    bool known = is_known_key(query->key);
    FUZZ_CHECK(result == known, query->key ? query->key : "(null key)");
    FUZZ_CHECK(known == (query->value != nullptr), "value set only for a known key");
    check.expected_diagnostics += variable_line(query->key, query->value);
}

void call_set_variables(FuzzedDataProvider &in, uint32_t command, call_check &check) {
    size_t entries = in.ConsumeIntegralInRange<size_t>(0, 300);
    // Below 256 entries the array ends with the null key; from 256 on it has
    // no terminator and the host must stop after the 256th entry.
    size_t stored = entries < 256 ? entries + 1 : 256;
    std::unique_ptr<retro_variable[]> array(new retro_variable[stored]);
    check.expected_diagnostics += "CORE_VARIABLES_BEGIN\r\n";
    for (size_t i = 0; i < stored; i++) {
        if (i == entries) {
            array[i] = {nullptr, nullptr};
            break;
        }
        const char *key = text_or_null(in, check.keep);
        if (!key) key = "";
        array[i] = {key, text_or_null(in, check.keep)};
        check.expected_diagnostics += variable_line(array[i].key, array[i].value);
    }
    check.expected_diagnostics += "CORE_VARIABLES_END\r\n";
    FUZZ_CHECK(environment_callback(command, array.get()), "SET_VARIABLES");
}

bool expected_result(uint32_t code, const uint8_t *data) {
    if (accepted_whatever_the_data(code)) return true;
    if (code == 10) return data && *(const uint32_t *)data <= 2;
    if (code == 27) return data != nullptr;
    if (code == 79) return playlist_directory != nullptr;
    return false;
}

void check_log_printer(FuzzedDataProvider &in, retro_log_printf_t printer) {
    std::deque<std::string> keep;
    int level = in.ConsumeIntegral<int>();
    const char *text = text_or_null(in, keep);
    size_t before = fake.diagnostics.size();
    printer((retro_log_level)level, text);
    std::string expected = "CORELOG level=" + std::to_string(level > 0 ? level : 0) + " | ";
    if (!text || !*text)
        expected += "(empty)\r\n";
    else
        expected += std::string(text) + (std::string(text).back() == '\n' ? "" : "\r\n");
    FUZZ_CHECK(fake.diagnostics.substr(before) == expected, expected);
}

void call_with_block(FuzzedDataProvider &in, uint32_t command, uint32_t code, call_check &check) {
    size_t size = data_size(code);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(size ? size : in.ConsumeIntegralInRange<size_t>(1, 64));
    bytes.resize(size ? size : std::max<size_t>(bytes.size(), 1));
    bool give = in.ConsumeIntegralInRange(0, 7) != 0;
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    if (size == 0) ASAN_POISON_MEMORY_REGION(block.get(), bytes.size());
    uint8_t *data = give ? block.get() : nullptr;

    uint32_t format_before = pixel_format;
    bool expected = expected_result(code, data);
    bool result = environment_callback(command, data);
    if (size == 0) ASAN_UNPOISON_MEMORY_REGION(block.get(), bytes.size());
    FUZZ_CHECK(result == expected, "result of command " + std::to_string(command));

    if (code == 10) FUZZ_CHECK(pixel_format == (result ? *(const uint32_t *)data : format_before), "pixel format");
    if (code == 12 && data)
        FUZZ_CHECK(keyboard_callback == ((retro_keyboard_callback *)data)->callback, "keyboard callback");
    if (code == 27 && data) check_log_printer(in, ((retro_log_callback *)data)->log);
    if (code == 7) FUZZ_CHECK(running == 0, "shutdown clears the running flag");
    if ((code == 32 || code == 37) && data) {
        const retro_game_geometry *g = (const retro_game_geometry *)data;
        std::vector<std::string> statuses = decoded_statuses(fake.protocol);
        FUZZ_CHECK(!statuses.empty(), "geometry message");
        nlohmann::ordered_json json = parsed_status(statuses.back());
        FUZZ_CHECK(json["state"] == (code == 32 ? "av" : "geometry"), statuses.back());
        FUZZ_CHECK(json["width"] == g->base_width && json["height"] == g->base_height, statuses.back());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    reset_fake_host();
    static char system[] = "/sys", save[] = "/save", assets[] = "/assets", core[] = "/core.so", user[] = "KALMO";
    static char playlists[] = "/playlists";
    system_directory = system;
    save_directory = save;
    core_assets_directory = assets;
    core_path = core;
    user_name = user;
    playlist_directory = in.ConsumeBool() ? playlists : nullptr;

    for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; calls++) {
        uint32_t command = pick_command(in);
        uint32_t code = command & 0xffff;
        // Many calls of one code at once reach the 50th and 1000th traces.
        uint32_t repeat = in.ConsumeIntegralInRange(0, 15) == 0 ? in.ConsumeIntegralInRange<uint32_t>(1, 1100) : 1;
        for (uint32_t r = 0; r < repeat; r++) {
            uint32_t count = code <= 255 ? environment_call_counts[code] + 1 : 1;
            int running_before = running;
            size_t diagnostics_before = fake.diagnostics.size();
            call_check check;
            check.expected_diagnostics = traced(code, count) ? trace_line(command, code, count) : "";
            if (code == 15)
                call_get_variable(in, command, check);
            else if (code == 16)
                call_set_variables(in, command, check);
            else
                call_with_block(in, command, code, check);
            if (code <= 255) FUZZ_CHECK(environment_call_counts[code] == count, "call counter");
            // The log printer's own line follows GET_LOG_INTERFACE's trace; it is checked apart.
            std::string written = fake.diagnostics.substr(diagnostics_before);
            if (code == 27) written = written.substr(0, check.expected_diagnostics.size());
            FUZZ_CHECK(written == check.expected_diagnostics, check.expected_diagnostics);
            if (code != 7) FUZZ_CHECK(running == running_before, "only SHUTDOWN clears the running flag");
            FUZZ_CHECK(pixel_format <= 2 && frame_rate > 1.0 && sample_rate > 1000.0, "kept values");
        }
    }
    for (const std::string &status : decoded_statuses(fake.protocol)) parsed_status(status);
    return 0;
}
