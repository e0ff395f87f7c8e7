// Packet framing on the protocol output. Header and payload always go out in
// separate writes; the parent reassembles packets by the length field.
#include "channel/packet.h"

#include "channel/text_builder.h"
#include "host/host_state.h"

void write_all(platform_handle handle, const void *bytes, uint32_t count) {
    const uint8_t *position = (const uint8_t *)bytes;
    while (count != 0) {
        uint32_t written = 0;
        if (!platform_write(handle, position, count, &written)) return;
        // A misbehaving layer must not make us run past the range.
        if (written > count) written = count;
        position += written;
        count -= written;
        if (written == 0) return;
    }
}

void store_u32(uint8_t *at, uint32_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

void send_packet_header(uint8_t type, uint32_t payload_length) {
    uint8_t header[9] = {'K', 'L', 'M', 'P', type};
    store_u32(header + 5, payload_length);
    write_all(protocol_output, header, sizeof header);
}

void send_status(const char *text) {
    uint32_t length = text_length(text);
    send_packet_header(PACKET_STATUS, length);
    write_all(protocol_output, text, length);
}
