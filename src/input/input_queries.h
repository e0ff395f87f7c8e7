// The core's input poll and input state callbacks.
#pragma once

#include <stdint.h>

void input_poll(void);
int16_t input_state(unsigned port, unsigned device, unsigned index, unsigned id);

struct input_query_state {
    uint32_t poll_count;
    int32_t frame_dx;
    int32_t frame_dy;
    int32_t frame_wheel;
    uint64_t query_seen[8];
    bool mouse_mode_announced;
    bool pointer_mode_announced;
    bool analog_mode_announced;
};

extern input_query_state input_queries;
