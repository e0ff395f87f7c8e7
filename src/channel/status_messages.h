// Builders of the variable status messages.
#pragma once

#include <stdint.h>

void send_error(const char *message);
// Sends the stage packet, then writes the stage name as a diagnostic line.
void send_stage(const char *stage, const char *message);
// kind is "av" or "geometry".
void send_geometry(const char *kind, uint32_t width, uint32_t height, float aspect);
