// The probe core: a real Libretro core whose every move is scripted by its
// content file, so end-to-end tests can make the host face any core
// behaviour and then check both sides: the host's streams, and the record
// file in which the probe writes down everything the host did to it.
// Built as probe_core.so on Linux and probe_core.dll with mingw-w64 (linked
// statically, using only the C runtime); with PROBE_CORE_NO_RESET defined
// the same source lacks retro_reset.
//
// The scenario is the content file. The core needs it before the host hands
// it the content (system info, requests from retro_set_environment), so at
// its first call it reads the path from its own process's command line
// (argument 2, the content; argument 4, the save directory, is where a
// relative record file goes). retro_load_game later names the same file.
//
// Scenario language: one directive a line, "#" starts a comment line, a CR
// before the LF is dropped. Lines before the first section describe the core:
//   record NAME              record file (relative: in the save directory)
//   library_name TEXT        also library_version TEXT, valid_extensions TEXT
//                            (defaults "probe", "1.0", "scn")
//   need_fullpath 0|1        default 1; block_extract 0|1, default 0
//   api_version N            default 1
//   accept 0|1               retro_load_game's answer, default 1
//   av W H ASPECT FPS RATE   retro_get_system_av_info's answer,
//                            default 320 240 1.333333 1000 48000
// A section header names the call during which its actions run:
//   [set_environment] [get_system_info] [init] [load_game]
//   [get_system_av_info] [every_frame] [frame N] [reset] [keyboard]
//   [unload_game] [deinit]
// Runs are numbered from 1; [every_frame] runs in each, before [frame N].
// Actions, each recorded with what the host answered:
//   env CODE                 environment call with null data
//   env_string CODE          ... with a string pointer (also env_bool,
//                            env_u32, env_u64, env_float); records the value
//   pixel_format N           SET_PIXEL_FORMAT
//   variable KEY TEXT        adds a declaration; set_variables sends them all
//   get_variable TEXT        GET_VARIABLE for the key TEXT
//   log_interface            GET_LOG_INTERFACE; then log LEVEL TEXT
//   keyboard_callback        SET_KEYBOARD_CALLBACK with the probe's callback
//   shutdown                 SHUTDOWN
//   geometry W H ASPECT      SET_GEOMETRY
//   av_info W H ASPECT FPS RATE   SET_SYSTEM_AV_INFO
//   video FORMAT W H [PITCH] presents a frame of the shared pattern, written
//                            in pixel format FORMAT (pitch default: tight)
//   audio N / batch N        N single frames / one batch of N frames
//   poll                     calls the input poll callback
//   query DEVICE INDEX ID [PORT], query_mouse, query_pointer
//   wait_stdin MS            waits until the process's standard input holds
//                            bytes (at most MS milliseconds), reading nothing
//   sleep MS, mark TEXT, stdout TEXT (printf, puts and a raw write to
//                            standard output)
// TEXT is the rest of the line after one space with the escapes \\ \n \r \t
// \xHH; "@null" is a null pointer, "@repeat N C TAIL" N copies of the byte C
// followed by TAIL. tests/cores/README.md lists the record lines.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#include "libretro.h"
#include "probe_pattern.h"

// ---------------------------------------------------------------------------
// The little the probe needs from the operating system.

#ifdef _WIN32
static wchar_t *content_path_w;
static wchar_t *save_directory_w;

static bool find_command_line_paths(void) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count < 5) return false;
    content_path_w = arguments[2];
    save_directory_w = arguments[4];
    return true;
}

static FILE *open_content(void) { return _wfopen(content_path_w, L"rb"); }

static FILE *open_record(const char *name) {
    wchar_t wide_name[1024];
    if (!MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, 1024)) return NULL;
    bool absolute = name[0] == '/' || name[0] == '\\' || (name[0] && name[1] == ':');
    if (absolute) return _wfopen(wide_name, L"wb");
    size_t length = wcslen(save_directory_w) + wcslen(wide_name) + 2;
    wchar_t *path = (wchar_t *)malloc(length * sizeof(wchar_t));
    wcscpy(path, save_directory_w);
    wcscat(path, L"\\");
    wcscat(path, wide_name);
    FILE *file = _wfopen(path, L"wb");
    free(path);
    return file;
}

static uint64_t now_microseconds(void) {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (uint64_t)(counter.QuadPart / frequency.QuadPart * 1000000 +
                      counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

static void sleep_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

static bool standard_input_has_bytes(void) {
    DWORD available = 0;
    return PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), NULL, 0, NULL, &available, NULL) && available > 0;
}

static void write_standard_output_raw(const char *text) {
    _write(1, text, (unsigned)strlen(text));
    _write(1, "\n", 1);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}
#else
static char *command_line;
static const char *content_path_arg;
static const char *save_directory_arg;

static bool find_command_line_paths(void) {
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t capacity = 1 << 16, length = 0;
    command_line = (char *)malloc(capacity + 1);
    ssize_t got;
    while (length < capacity && (got = read(fd, command_line + length, capacity - length)) > 0) length += (size_t)got;
    close(fd);
    command_line[length] = 0;
    const char *argument[5] = {};
    size_t at = 0;
    for (int i = 0; i < 5 && at < length; i++) {
        argument[i] = command_line + at;
        at += strlen(command_line + at) + 1;
    }
    if (!argument[4]) return false;
    content_path_arg = argument[2];
    save_directory_arg = argument[4];
    return true;
}

static FILE *open_content(void) { return fopen(content_path_arg, "rb"); }

static FILE *open_record(const char *name) {
    if (name[0] == '/') return fopen(name, "wb");
    size_t length = strlen(save_directory_arg) + strlen(name) + 2;
    char *path = (char *)malloc(length);
    snprintf(path, length, "%s/%s", save_directory_arg, name);
    FILE *file = fopen(path, "wb");
    free(path);
    return file;
}

static uint64_t now_microseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000 + (uint64_t)now.tv_nsec / 1000;
}

static void sleep_milliseconds(unsigned milliseconds) {
    struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&wait, NULL);
}

static bool standard_input_has_bytes(void) {
    int available = 0;
    return ioctl(0, FIONREAD, &available) == 0 && available > 0;
}

static void write_standard_output_raw(const char *text) {
    ssize_t ignored = write(1, text, strlen(text));
    ignored = write(1, "\n", 1);
    (void)ignored;
}
#endif

// ---------------------------------------------------------------------------
// The record file. Every line is flushed at once: the host ends the process
// without running the C runtime's exit handlers.

static FILE *record_file;

// Decimal text of a 64-bit number in one of a few rotating buffers, since the
// Windows C runtime's printf does not agree on the 64-bit directives.
static const char *decimal(uint64_t value) {
    static char buffers[4][24];
    static int next;
    char *buffer = buffers[next++ & 3];
    char digits[24];
    int count = 0;
    do digits[count++] = (char)('0' + value % 10);
    while ((value /= 10) != 0);
    for (int i = 0; i < count; i++) buffer[i] = digits[count - 1 - i];
    buffer[count] = 0;
    return buffer;
}

static const char *hex(uint64_t value) {
    static char buffers[4][20];
    static int next;
    char *buffer = buffers[next++ & 3];
    for (int i = 0; i < 16; i++) buffer[i] = "0123456789abcdef"[(value >> (60 - 4 * i)) & 15];
    buffer[16] = 0;
    return buffer;
}

static void record(const char *format, ...) {
    if (!record_file) return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(record_file, format, arguments);
    va_end(arguments);
    fputc('\n', record_file);
    fflush(record_file);
}

// A string the host handed over, written raw, or <null>.
static const char *shown(const char *text) { return text ? text : "<null>"; }

// ---------------------------------------------------------------------------
// The scenario: its raw bytes (hashed against what retro_load_game gets),
// a copy cut into lines, and the sections those lines form.

struct section {
    char name[32];
    long number;
    int first_line;
    int end_line;
};

static uint8_t *scenario_bytes;
static size_t scenario_size;
static char **lines;
static int line_count;
static section sections[256];
static int section_count;
static bool scenario_loaded;

static char *header_library_name = (char *)"probe";
static char *header_library_version = (char *)"1.0";
static char *header_valid_extensions = (char *)"scn";
static bool header_need_fullpath = true;
static bool header_block_extract = false;
static unsigned header_api_version = 1;
static bool header_accept = true;
static retro_system_av_info header_av = {{320, 240, 320, 240, 4.0f / 3.0f}, {1000.0, 48000.0}};

static uint32_t frame_number;
static bool inside_run;
static uint32_t audio_index;

static retro_environment_t environment;
static retro_video_refresh_t video_refresh;
static retro_audio_sample_t audio_sample;
static retro_audio_sample_batch_t audio_sample_batch;
static retro_input_poll_t input_poll;
static retro_input_state_t input_state;
static retro_log_printf_t log_printer;

static const char *after_keyword(const char *line, const char *keyword) {
    size_t length = strlen(keyword);
    if (strncmp(line, keyword, length) != 0) return NULL;
    if (line[length] == 0) return line + length;
    if (line[length] == ' ') return line + length + 1;
    return NULL;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static char *unescape(const char *raw, char *out) {
    while (*raw) {
        char c = *raw++;
        if (c != '\\' || !*raw) {
            *out++ = c;
            continue;
        }
        char e = *raw++;
        if (e == 'n') *out++ = '\n';
        else if (e == 'r') *out++ = '\r';
        else if (e == 't') *out++ = '\t';
        else if (e == 'x' && hex_digit(raw[0]) >= 0 && hex_digit(raw[1]) >= 0) {
            *out++ = (char)(hex_digit(raw[0]) * 16 + hex_digit(raw[1]));
            raw += 2;
        } else *out++ = e;
    }
    return out;
}

// A TEXT value as a fresh heap string, or null for "@null".
static char *decode_text(const char *raw) {
    if (strcmp(raw, "@null") == 0) return NULL;
    const char *repeat = after_keyword(raw, "@repeat");
    if (!repeat) {
        char *text = (char *)malloc(strlen(raw) + 1);
        *unescape(raw, text) = 0;
        return text;
    }
    char *end;
    unsigned long count = strtoul(repeat, &end, 10);
    if (*end == ' ') end++;
    char byte = *end ? *end++ : ' ';
    if (*end == ' ') end++;
    char *text = (char *)malloc(count + strlen(end) + 1);
    memset(text, byte, count);
    *unescape(end, text + count) = 0;
    return text;
}

static unsigned long number_field(const char **cursor) {
    char *end;
    unsigned long value = strtoul(*cursor, &end, 0);
    while (*end == ' ') end++;
    *cursor = end;
    return value;
}

static long signed_field(const char **cursor) {
    char *end;
    long value = strtol(*cursor, &end, 0);
    while (*end == ' ') end++;
    *cursor = end;
    return value;
}

static double real_field(const char **cursor) {
    char *end;
    double value = strtod(*cursor, &end);
    while (*end == ' ') end++;
    *cursor = end;
    return value;
}

static void read_av(const char *p, retro_system_av_info *av) {
    av->geometry.base_width = av->geometry.max_width = (unsigned)number_field(&p);
    av->geometry.base_height = av->geometry.max_height = (unsigned)number_field(&p);
    av->geometry.aspect_ratio = (float)real_field(&p);
    av->timing.fps = real_field(&p);
    av->timing.sample_rate = real_field(&p);
}

static void read_header_line(const char *line) {
    const char *p;
    if ((p = after_keyword(line, "record"))) record_file = open_record(p);
    else if ((p = after_keyword(line, "library_name"))) header_library_name = decode_text(p);
    else if ((p = after_keyword(line, "library_version"))) header_library_version = decode_text(p);
    else if ((p = after_keyword(line, "valid_extensions"))) header_valid_extensions = decode_text(p);
    else if ((p = after_keyword(line, "need_fullpath"))) header_need_fullpath = atoi(p) != 0;
    else if ((p = after_keyword(line, "block_extract"))) header_block_extract = atoi(p) != 0;
    else if ((p = after_keyword(line, "api_version"))) header_api_version = (unsigned)strtoul(p, NULL, 0);
    else if ((p = after_keyword(line, "accept"))) header_accept = atoi(p) != 0;
    else if ((p = after_keyword(line, "av"))) read_av(p, &header_av);
}

static void open_section(const char *line) {
    if (section_count == 256) return;
    section *s = &sections[section_count++];
    size_t length = 0;
    const char *p = line + 1;
    while (*p && *p != ']' && *p != ' ' && length < sizeof s->name - 1) s->name[length++] = *p++;
    s->name[length] = 0;
    s->number = *p == ' ' ? strtol(p + 1, NULL, 10) : -1;
    s->first_line = line_count;
    s->end_line = line_count;
}

static void cut_into_lines(void) {
    char *text = (char *)malloc(scenario_size + 1);
    memcpy(text, scenario_bytes, scenario_size);
    text[scenario_size] = 0;
    int capacity = 1;
    for (size_t i = 0; i < scenario_size; i++) capacity += text[i] == '\n';
    lines = (char **)malloc(sizeof(char *) * (size_t)capacity);
    for (char *line = text; line;) {
        char *next = strchr(line, '\n');
        if (next) *next++ = 0;
        size_t length = strlen(line);
        if (length && line[length - 1] == '\r') line[length - 1] = 0;
        if (line[0] == '[') open_section(line);
        else if (line[0] && line[0] != '#') {
            if (section_count == 0) read_header_line(line);
            else {
                lines[line_count++] = line;
                sections[section_count - 1].end_line = line_count;
            }
        }
        line = next;
    }
}

static void load_scenario(void) {
    if (scenario_loaded) return;
    scenario_loaded = true;
    if (!find_command_line_paths()) return;
    FILE *file = open_content();
    if (!file) return;
    size_t capacity = 4096;
    scenario_bytes = (uint8_t *)malloc(capacity);
    size_t got;
    while ((got = fread(scenario_bytes + scenario_size, 1, capacity - scenario_size, file)) > 0) {
        scenario_size += got;
        if (scenario_size == capacity) scenario_bytes = (uint8_t *)realloc(scenario_bytes, capacity *= 2);
    }
    fclose(file);
    cut_into_lines();
}

// ---------------------------------------------------------------------------
// Actions.

static void run_section(const char *name, long number);

static void keyboard_event(bool down, unsigned keycode, uint32_t character, uint16_t modifiers) {
    record("keyboard frame=%u in_run=%d down=%d keycode=%u character=%u modifiers=%u", frame_number,
           inside_run, down ? 1 : 0, keycode, character, (unsigned)modifiers);
    run_section("keyboard", -1);
}

static bool call_environment(unsigned command, void *data) {
    return environment ? environment(command, data) : false;
}

static void env_string(unsigned command) {
    static const char unset[] = "<unset>";
    const char *value = unset;
    bool answer = call_environment(command, &value);
    record("env cmd=%u ret=%d value=%s", command, answer, shown(value));
}

static void env_number(unsigned command, unsigned width) {
    uint64_t value = 0xA5A5A5A5A5A5A5A5ull;
    bool answer = call_environment(command, &value);
    if (width < 8) value &= (1ull << (width * 8)) - 1;
    record("env cmd=%u ret=%d value=%s", command, answer, decimal(value));
}

static void env_float(unsigned command) {
    float value = -1.0f;
    bool answer = call_environment(command, &value);
    long long milli = (long long)(value * 1000.0f + (value < 0 ? -0.5f : 0.5f));
    record("env cmd=%u ret=%d value_milli=%s%s", command, answer, milli < 0 ? "-" : "",
           decimal((uint64_t)(milli < 0 ? -milli : milli)));
}

static retro_variable declared[512];
static int declared_count;

static void declare_variable(const char *p) {
    if (declared_count == 511) return;
    const char *space = strchr(p, ' ');
    size_t key_length = space ? (size_t)(space - p) : strlen(p);
    char *key = (char *)malloc(key_length + 1);
    memcpy(key, p, key_length);
    key[key_length] = 0;
    declared[declared_count].key = key;
    declared[declared_count].value = space ? decode_text(space + 1) : NULL;
    declared_count++;
}

static void set_variables(void) {
    declared[declared_count].key = NULL;
    declared[declared_count].value = NULL;
    bool answer = call_environment(RETRO_ENVIRONMENT_SET_VARIABLES, declared);
    record("set_variables count=%d ret=%d", declared_count, answer);
    declared_count = 0;
}

static void get_variable(const char *p) {
    retro_variable query = {decode_text(p), "<unset>"};
    bool answer = call_environment(RETRO_ENVIRONMENT_GET_VARIABLE, &query);
    record("variable key=%s ret=%d value=%s", shown(query.key), answer, shown(query.value));
    free((void *)query.key);
}

static void log_line(const char *p) {
    long level = signed_field(&p);
    char *text = decode_text(p);
    if (log_printer) log_printer((retro_log_level)level, text);
    record("log level=%ld sent=%d", level, log_printer != NULL);
    free(text);
}

static void present_frame(const char *p) {
    unsigned format = (unsigned)number_field(&p);
    unsigned width = (unsigned)number_field(&p);
    unsigned height = (unsigned)number_field(&p);
    unsigned bytes_per_pixel = format == RETRO_PIXEL_FORMAT_XRGB8888 ? 4 : 2;
    size_t pitch = *p ? (size_t)number_field(&p) : (size_t)width * bytes_per_pixel;
    size_t size = pitch * height;
    uint8_t *pixels = (uint8_t *)malloc(size ? size : 1);
    memset(pixels, probe_padding_byte, size);
    for (unsigned y = 0; y < height; y++)
        for (unsigned x = 0; x < width; x++) {
            uint32_t word = probe_pixel_word(x, y, frame_number);
            memcpy(pixels + y * pitch + x * bytes_per_pixel, &word, bytes_per_pixel);
        }
    record("video frame=%u format=%u width=%u height=%u pitch=%s", frame_number, format, width, height,
           decimal(pitch));
    video_refresh(pixels, width, height, pitch);
    free(pixels);
}

static void send_single_frames(unsigned long count) {
    record("audio first=%s count=%s", decimal(audio_index), decimal(count));
    for (unsigned long i = 0; i < count; i++, audio_index++)
        audio_sample(probe_audio_left(audio_index), probe_audio_right(audio_index));
}

static void send_batch(unsigned long frames) {
    int16_t *samples = (int16_t *)malloc(frames * 4 + 4);
    for (unsigned long i = 0; i < frames; i++) {
        samples[2 * i] = probe_audio_left(audio_index + (uint32_t)i);
        samples[2 * i + 1] = probe_audio_right(audio_index + (uint32_t)i);
    }
    size_t answer = audio_sample_batch(samples, frames);
    record("batch first=%s frames=%s ret=%s", decimal(audio_index), decimal(frames), decimal(answer));
    audio_index += (uint32_t)frames;
    free(samples);
}

static void query(const char *p) {
    unsigned device = (unsigned)number_field(&p);
    unsigned index = (unsigned)number_field(&p);
    unsigned id = (unsigned)number_field(&p);
    unsigned port = *p ? (unsigned)number_field(&p) : 0;
    int value = input_state(port, device, index, id);
    record("input frame=%u port=%u device=%u index=%u id=%u value=%d", frame_number, port, device, index, id,
           value);
}

static void query_mouse(void) {
    int answer[7];
    for (unsigned id = 0; id < 7; id++) answer[id] = input_state(0, RETRO_DEVICE_MOUSE, 0, id);
    record("mouse frame=%u x=%d y=%d left=%d right=%d wheelup=%d wheeldown=%d middle=%d", frame_number, answer[0],
           answer[1], answer[2], answer[3], answer[4], answer[5], answer[6]);
}

static void query_pointer(void) {
    static const unsigned ids[5] = {0, 1, 2, 3, 15};
    int answer[5];
    for (int i = 0; i < 5; i++) answer[i] = input_state(0, RETRO_DEVICE_POINTER, 0, ids[i]);
    record("pointer frame=%u x=%d y=%d pressed=%d count=%d offscreen=%d", frame_number, answer[0], answer[1],
           answer[2], answer[3], answer[4]);
}

static void wait_for_standard_input(unsigned long milliseconds) {
    uint64_t deadline = now_microseconds() + (uint64_t)milliseconds * 1000;
    bool ready;
    while (!(ready = standard_input_has_bytes()) && now_microseconds() < deadline) sleep_milliseconds(1);
    record("wait_stdin frame=%u ready=%d", frame_number, ready);
}

static void print_to_standard_output(const char *p) {
    char *text = decode_text(p);
    if (!text) return;
    printf("%s\n", text);
    fflush(stdout);
    puts(text);
    fflush(stdout);
    write_standard_output_raw(text);
    record("stdout bytes=%s", decimal(strlen(text)));
    free(text);
}

static void environment_with_struct(const char *p, unsigned command) {
    retro_system_av_info av = {};
    read_av(p, &av);
    void *data = command == RETRO_ENVIRONMENT_SET_GEOMETRY ? (void *)&av.geometry : (void *)&av;
    bool answer = call_environment(command, data);
    record("env cmd=%u ret=%d", command, answer);
}

static void execute(const char *line) {
    const char *p;
    if ((p = after_keyword(line, "env"))) {
        unsigned command = (unsigned)number_field(&p);
        record("env cmd=%u ret=%d", command, call_environment(command, NULL));
    } else if ((p = after_keyword(line, "env_string"))) env_string((unsigned)number_field(&p));
    else if ((p = after_keyword(line, "env_bool"))) env_number((unsigned)number_field(&p), 1);
    else if ((p = after_keyword(line, "env_u32"))) env_number((unsigned)number_field(&p), 4);
    else if ((p = after_keyword(line, "env_u64"))) env_number((unsigned)number_field(&p), 8);
    else if ((p = after_keyword(line, "env_float"))) env_float((unsigned)number_field(&p));
    else if ((p = after_keyword(line, "pixel_format"))) {
        unsigned format = (unsigned)number_field(&p);
        record("pixel_format value=%u ret=%d", format, call_environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    } else if ((p = after_keyword(line, "variable"))) declare_variable(p);
    else if (after_keyword(line, "set_variables")) set_variables();
    else if ((p = after_keyword(line, "get_variable"))) get_variable(p);
    else if (after_keyword(line, "log_interface")) {
        retro_log_callback callback = {NULL};
        bool answer = call_environment(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &callback);
        log_printer = callback.log;
        record("log_interface ret=%d given=%d", answer, log_printer != NULL);
    } else if ((p = after_keyword(line, "log"))) log_line(p);
    else if (after_keyword(line, "keyboard_callback")) {
        retro_keyboard_callback callback = {keyboard_event};
        record("keyboard_callback ret=%d", call_environment(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &callback));
    } else if (after_keyword(line, "shutdown"))
        record("shutdown frame=%u ret=%d", frame_number, call_environment(RETRO_ENVIRONMENT_SHUTDOWN, NULL));
    else if ((p = after_keyword(line, "geometry"))) {
        // W H ASPECT, read through the av layout: fps and rate stay 0.
        environment_with_struct(p, RETRO_ENVIRONMENT_SET_GEOMETRY);
    } else if ((p = after_keyword(line, "av_info"))) environment_with_struct(p, RETRO_ENVIRONMENT_SET_SYSTEM_AV_INFO);
    else if ((p = after_keyword(line, "video"))) present_frame(p);
    else if ((p = after_keyword(line, "audio"))) send_single_frames(number_field(&p));
    else if ((p = after_keyword(line, "batch"))) send_batch(number_field(&p));
    else if (after_keyword(line, "poll")) {
        record("poll frame=%u", frame_number);
        input_poll();
    } else if ((p = after_keyword(line, "query"))) query(p);
    else if (after_keyword(line, "query_mouse")) query_mouse();
    else if (after_keyword(line, "query_pointer")) query_pointer();
    else if ((p = after_keyword(line, "wait_stdin"))) wait_for_standard_input(number_field(&p));
    else if ((p = after_keyword(line, "sleep"))) sleep_milliseconds((unsigned)number_field(&p));
    else if ((p = after_keyword(line, "mark"))) record("mark %s", p);
    else if ((p = after_keyword(line, "stdout"))) print_to_standard_output(p);
    else record("unknown_action %s", line);
}

static void run_section(const char *name, long number) {
    for (int s = 0; s < section_count; s++) {
        if (strcmp(sections[s].name, name) != 0 || sections[s].number != number) continue;
        for (int i = sections[s].first_line; i < sections[s].end_line; i++) execute(lines[i]);
    }
}

// ---------------------------------------------------------------------------
// The sixteen entry points.

PROBE_EXPORT void retro_set_environment(retro_environment_t callback) {
    load_scenario();
    environment = callback;
    record("call set_environment");
    run_section("set_environment", -1);
}

PROBE_EXPORT void retro_set_video_refresh(retro_video_refresh_t callback) {
    load_scenario();
    video_refresh = callback;
    record("call set_video_refresh");
}

PROBE_EXPORT void retro_set_audio_sample(retro_audio_sample_t callback) {
    load_scenario();
    audio_sample = callback;
    record("call set_audio_sample");
}

PROBE_EXPORT void retro_set_audio_sample_batch(retro_audio_sample_batch_t callback) {
    load_scenario();
    audio_sample_batch = callback;
    record("call set_audio_sample_batch");
}

PROBE_EXPORT void retro_set_input_poll(retro_input_poll_t callback) {
    load_scenario();
    input_poll = callback;
    record("call set_input_poll");
}

PROBE_EXPORT void retro_set_input_state(retro_input_state_t callback) {
    load_scenario();
    input_state = callback;
    record("call set_input_state");
}

PROBE_EXPORT void retro_set_controller_port_device(unsigned port, unsigned device) {
    record("call set_controller_port_device port=%u device=%u", port, device);
}

PROBE_EXPORT void retro_init(void) {
    load_scenario();
    record("call init");
    run_section("init", -1);
}

PROBE_EXPORT void retro_deinit(void) {
    record("call deinit");
    run_section("deinit", -1);
    if (record_file) fclose(record_file);
    record_file = NULL;
}

PROBE_EXPORT unsigned retro_api_version(void) {
    record("call api_version");
    return header_api_version;
}

PROBE_EXPORT void retro_get_system_info(retro_system_info *info) {
    load_scenario();
    record("call get_system_info");
    run_section("get_system_info", -1);
    info->library_name = header_library_name;
    info->library_version = header_library_version;
    info->valid_extensions = header_valid_extensions;
    info->need_fullpath = header_need_fullpath;
    info->block_extract = header_block_extract;
}

PROBE_EXPORT void retro_get_system_av_info(retro_system_av_info *info) {
    record("call get_system_av_info");
    run_section("get_system_av_info", -1);
    *info = header_av;
}

PROBE_EXPORT bool retro_load_game(const retro_game_info *game) {
    record("call load_game path=%s data=%s size=%s meta=%s", shown(game->path), game->data ? "present" : "null",
           decimal(game->size), game->meta ? "present" : "null");
    if (game->data)
        record("content size=%s hash=%s file_size=%s file_hash=%s", decimal(game->size),
               hex(probe_hash(game->data, game->size)), decimal(scenario_size),
               hex(probe_hash(scenario_bytes, scenario_size)));
    run_section("load_game", -1);
    return header_accept;
}

PROBE_EXPORT void retro_unload_game(void) {
    record("call unload_game");
    run_section("unload_game", -1);
}

PROBE_EXPORT void retro_run(void) {
    frame_number++;
    inside_run = true;
    record("call run frame=%u", frame_number);
    record("time frame=%u us=%s", frame_number, decimal(now_microseconds()));
    run_section("every_frame", -1);
    run_section("frame", frame_number);
    inside_run = false;
}

#ifndef PROBE_CORE_NO_RESET
PROBE_EXPORT void retro_reset(void) {
    record("call reset frame=%u in_run=%d", frame_number, inside_run);
    run_section("reset", -1);
}
#endif
