// Input state: filled from the parent's command lines, read by the answers
// to the core's input queries.
#pragma once

#include <stdint.h>

struct input_state_fields {
    int32_t pending_dx;
    int32_t pending_dy;
    int32_t pending_wheel;
    int32_t buttons;
    int32_t px;
    int32_t py;
    int32_t inside;
    uint8_t key_state[65536];
};

extern input_state_fields input;
