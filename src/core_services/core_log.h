// The log printer handed to the core.
#pragma once

#include "host/libretro.h"

// Writes one CORELOG line with the core's format text raw: directives are
// not expanded and the further arguments are never read.
void core_log(enum retro_log_level level, const char *format, ...);
