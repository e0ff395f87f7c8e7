// Video frames: converted to RGBA row by row and sent as one packet each.
#pragma once

#include <stddef.h>
#include <stdint.h>

void video_refresh(const void *data, unsigned width, unsigned height, size_t pitch);
// Releases the row buffer at exit.
void release_video_buffer(void);
