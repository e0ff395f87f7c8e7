// Input queries. Each poll latches the mouse motion summed since the previous
// poll, so the core's mouse axes see exactly the motion between two polls,
// none twice and none lost. Buttons, pointer and keys answer the last state.
// A core that never reads the mouse gets its motion on the left analog stick,
// except ScummVM, which is set up for the mouse.
#include "input/input_queries.h"

#include "channel/diagnostics.h"
#include "channel/text_builder.h"
#include "host/host_state.h"
#include "input/command_reader.h"
#include "input/input_state.h"

input_query_state input_queries;

void input_poll(void) {
    poll_command_input();
    input_queries.poll_count++;
    input_queries.frame_dx = input.pending_dx;
    input_queries.frame_dy = input.pending_dy;
    input_queries.frame_wheel = input.pending_wheel;
    input.pending_dx = 0;
    input.pending_dy = 0;
    input.pending_wheel = 0;
}

static void trace_first_query(uint32_t device, unsigned id) {
    if (device >= 8 || id >= 64) return;
    uint64_t bit = (uint64_t)1 << id;
    if (input_queries.query_seen[device] & bit) return;
    input_queries.query_seen[device] |= bit;
    char buffer[64];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, sizeof buffer - 1);
    text_append_string(&text, "INPUT_QUERY device=");
    text_append_unsigned(&text, device);
    text_append_string(&text, " id=");
    text_append_unsigned(&text, id);
    write_diag_line(text_finish(&text));
}

static void announce(bool *announced, const char *line) {
    if (*announced) return;
    *announced = true;
    write_diag_line(line);
}

static int16_t analog_fallback(uint32_t device, unsigned index, unsigned id) {
    if (scummvm_flag || input_queries.mouse_mode_announced || input_queries.poll_count < 9) return 0;
    announce(&input_queries.analog_mode_announced, "INPUT_MODE analog-fallback-from-physical-mouse");
    if (device != RETRO_DEVICE_ANALOG || index != RETRO_DEVICE_INDEX_ANALOG_LEFT) return 0;
    int64_t delta;
    if (id == RETRO_DEVICE_ID_ANALOG_X)
        delta = input_queries.frame_dx;
    else if (id == RETRO_DEVICE_ID_ANALOG_Y)
        delta = input_queries.frame_dy;
    else
        return 0;
    int64_t value = delta * 8192;
    if (value > 32767) return 32767;
    if (value < -32768) return -32768;
    return (int16_t)value;
}

static int16_t mouse_answer(unsigned id, unsigned index) {
    announce(&input_queries.mouse_mode_announced, "INPUT_MODE physical-retromouse-active");
    switch (id) {
    case RETRO_DEVICE_ID_MOUSE_X: return (int16_t)(uint16_t)input_queries.frame_dx;
    case RETRO_DEVICE_ID_MOUSE_Y: return (int16_t)(uint16_t)input_queries.frame_dy;
    case RETRO_DEVICE_ID_MOUSE_LEFT: return input.buttons & 1;
    case RETRO_DEVICE_ID_MOUSE_RIGHT: return (input.buttons >> 1) & 1;
    case RETRO_DEVICE_ID_MOUSE_WHEELUP: return input_queries.frame_wheel > 0;
    case RETRO_DEVICE_ID_MOUSE_WHEELDOWN: return input_queries.frame_wheel < 0;
    case RETRO_DEVICE_ID_MOUSE_MIDDLE: return (input.buttons >> 2) & 1;
    default: return analog_fallback(RETRO_DEVICE_MOUSE, index, id);
    }
}

static int16_t pointer_answer(unsigned id, unsigned index) {
    announce(&input_queries.pointer_mode_announced, "INPUT_MODE pointer-query-available-but-not-selected");
    switch (id) {
    case RETRO_DEVICE_ID_POINTER_X: return (int16_t)(uint16_t)input.px;
    case RETRO_DEVICE_ID_POINTER_Y: return (int16_t)(uint16_t)input.py;
    case RETRO_DEVICE_ID_POINTER_PRESSED: return input.inside && (input.buttons & 1);
    case RETRO_DEVICE_ID_POINTER_COUNT: return input.inside ? 1 : 0;
    case RETRO_DEVICE_ID_POINTER_IS_OFFSCREEN: return input.inside ? 0 : 1;
    default: return analog_fallback(RETRO_DEVICE_POINTER, index, id);
    }
}

int16_t input_state(unsigned port, unsigned device, unsigned index, unsigned id) {
    (void)port;
    uint32_t type = device & 0xffu;
    trace_first_query(type, id);
    switch (type) {
    case RETRO_DEVICE_MOUSE: return mouse_answer(id, index);
    case RETRO_DEVICE_POINTER: return pointer_answer(id, index);
    case RETRO_DEVICE_KEYBOARD: return id <= 65535 && input.key_state[id] ? 1 : 0;
    default: return analog_fallback(type, index, id);
    }
}
