// The environment callback: the core's requests answered from fixed values.
#pragma once

#include <stdint.h>

bool environment_callback(unsigned command, void *data);

// Per-code call counters, never reset while the process lives.
extern uint32_t environment_call_counts[256];
