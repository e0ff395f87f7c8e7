// Reading the command input. The pipe is asked how much it holds and no more
// is read, so the reader never blocks; lines are executed strictly in arrival
// order, and an unfinished last line waits for a later call.
#include "input/command_reader.h"

#include "channel/diagnostics.h"
#include "channel/text_builder.h"
#include "host/host_state.h"
#include "input/input_state.h"

command_reader_state command_reader;
input_state_fields input;

static const uint32_t held_limit = sizeof command_reader.line_buffer - 1;

// Spaces, an optional "-", digits accumulated modulo 2^32; anything else
// stops all progress so this and every later field read 0.
static int32_t read_field(const char **cursor) {
    const char *p = *cursor;
    while (*p == ' ') p++;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10u + (uint32_t)(*p++ - '0');
    *cursor = p;
    return (int32_t)(negative ? 0u - value : value);
}

static bool traced_mouse_count(uint32_t count) {
    return (count >= 1 && count <= 6) || count == 30 || count == 120 || count % 1000 == 0;
}

static void trace_mouse_line(const int32_t field[7]) {
    char buffer[200];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, sizeof buffer - 1);
    text_append_string(&text, "INPUT_LINE count=");
    text_append_unsigned(&text, command_reader.mouse_line_count);
    text_append_string(&text, " dx=");
    text_append_signed(&text, field[0]);
    text_append_string(&text, " dy=");
    text_append_signed(&text, field[1]);
    text_append_string(&text, " buttons=");
    text_append_unsigned(&text, (uint32_t)field[2]);
    text_append_string(&text, " wheel=");
    text_append_signed(&text, field[3]);
    text_append_string(&text, " px=");
    text_append_signed(&text, field[4]);
    text_append_string(&text, " py=");
    text_append_signed(&text, field[5]);
    text_append_string(&text, field[6] ? " inside=1" : " inside=0");
    write_diag_line(text_finish(&text));
}

static void execute_mouse_line(const char *fields) {
    int32_t field[7];
    for (int i = 0; i < 7; i++) field[i] = read_field(&fields);
    input.pending_dx = (int32_t)((uint32_t)input.pending_dx + (uint32_t)field[0]);
    input.pending_dy = (int32_t)((uint32_t)input.pending_dy + (uint32_t)field[1]);
    input.buttons = field[2];
    input.pending_wheel = (int32_t)((uint32_t)input.pending_wheel + (uint32_t)field[3]);
    input.px = field[4];
    input.py = field[5];
    input.inside = field[6] != 0;
    command_reader.mouse_line_count++;
    if (traced_mouse_count(command_reader.mouse_line_count)) trace_mouse_line(field);
}

static void execute_key_line(const char *fields) {
    int32_t field[4];
    for (int i = 0; i < 4; i++) field[i] = read_field(&fields);
    uint32_t key = (uint32_t)field[0];
    if (key <= 65535) input.key_state[key] = field[1] != 0;
    if (keyboard_callback) keyboard_callback(field[1] != 0, key, (uint32_t)field[2], (uint16_t)field[3]);
}

static bool line_is(const char *line, const char *command) {
    while (*command && *line == *command) line++, command++;
    return *command == 0 && *line == 0;
}

static void execute_line(const char *line) {
    if (line_is(line, "QUIT"))
        running = 0;
    else if (line_is(line, "RESET")) {
        if (core_reset) core_reset();
    } else if (line[0] == 'M' && line[1] == ' ')
        execute_mouse_line(line + 2);
    else if (line[0] == 'K' && line[1] == ' ')
        execute_key_line(line + 2);
}

// Reads at most `available` bytes into the buffer; returns how many came.
static uint32_t read_available(uint32_t available) {
    uint32_t taken = 0;
    while (available > taken && command_reader.line_fill < held_limit) {
        uint32_t request = held_limit - command_reader.line_fill;
        if (request > available - taken) request = available - taken;
        uint32_t delivered = 0;
        if (!platform_read(command_input, command_reader.line_buffer + command_reader.line_fill, request,
                           &delivered) ||
            delivered == 0)
            break;
        if (delivered > request) delivered = request;
        command_reader.line_fill += delivered;
        command_reader.line_buffer[command_reader.line_fill] = 0;
        taken += delivered;
    }
    return taken;
}

// While a too-long line is being dropped, bytes up to and including its line
// feed are thrown away; the lines after it are kept.
static void drop_discarded_prefix(void) {
    char *buffer = command_reader.line_buffer;
    uint32_t fill = command_reader.line_fill;
    uint32_t i = 0;
    while (i < fill && buffer[i] != '\n') i++;
    if (i == fill) {
        command_reader.line_fill = 0;
        buffer[0] = 0;
        return;
    }
    command_reader.discarding = false;
    uint32_t keep = fill - (i + 1);
    for (uint32_t k = 0; k < keep; k++) buffer[k] = buffer[i + 1 + k];
    command_reader.line_fill = keep;
    buffer[keep] = 0;
}

static void execute_held_lines(void) {
    char *buffer = command_reader.line_buffer;
    uint32_t fill = command_reader.line_fill;
    uint32_t line_start = 0;
    for (uint32_t i = 0; i < fill; i++) {
        if (buffer[i] != '\n') continue;
        buffer[i] = 0;
        if (i > line_start && buffer[i - 1] == '\r') buffer[i - 1] = 0;
        execute_line(buffer + line_start);
        line_start = i + 1;
    }
    if (line_start == 0) {
        // A full buffer with no line feed can never complete: drop it and the
        // rest of its line, so later commands (QUIT among them) still arrive.
        if (fill >= held_limit) {
            command_reader.line_fill = 0;
            buffer[0] = 0;
            command_reader.discarding = true;
        }
        return;
    }
    uint32_t keep = fill - line_start;
    for (uint32_t k = 0; k < keep; k++) buffer[k] = buffer[line_start + k];
    command_reader.line_fill = keep;
    buffer[keep] = 0;
}

void poll_command_input(void) {
    // The core may poll input from inside retro_reset or its keyboard
    // callback, which we call while executing lines over this same buffer.
    if (command_reader.busy) return;
    uint32_t available = 0;
    if (!platform_peek_pipe(command_input, &available) || available == 0) return;
    command_reader.busy = true;
    for (;;) {
        uint32_t taken = read_available(available);
        available -= taken;
        if (command_reader.discarding) drop_discarded_prefix();
        if (command_reader.line_fill != 0) execute_held_lines();
        // Only a line being dropped is worth another round in the same call:
        // it frees the whole buffer, and a long line should not cost seconds.
        if (!command_reader.discarding || available == 0 || taken == 0) break;
    }
    command_reader.busy = false;
}
