// The packet envelope on the protocol output and the write loop every byte
// of the host goes through.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum packet_type { PACKET_VIDEO = 1, PACKET_AUDIO = 2, PACKET_STATUS = 3 };

// Writes the whole range unless a write fails or reports zero bytes; the
// caller never learns which, and goes on with its next write.
void write_all(platform_handle handle, const void *bytes, uint32_t count);
// One 9-byte header write: "KLMP", the type, the payload length.
void send_packet_header(uint8_t type, uint32_t payload_length);
// One status packet whose payload is the text before its NUL (null: empty).
void send_status(const char *text);
// Little-endian 32-bit store, independent of the host's byte order.
void store_u32(uint8_t *at, uint32_t value);
