// The video callback. No copy of a frame is kept: each row is converted into
// one reusable buffer and written at once, so a frame costs height + 2 writes
// and at most one allocation, when it is wider than every frame before it.
#include "video/video_output.h"

#include "channel/packet.h"
#include "host/host_state.h"
#include "host/libretro.h"
#include "video/pixel_conversion.h"

// One RGBA row, grown to the widest frame seen.
static uint8_t *video_row_buffer;
static size_t video_row_capacity;

static bool frame_is_sendable(const void *data, unsigned width, unsigned height) {
    return width != 0 && height != 0 && data != RETRO_HW_FRAME_BUFFER_VALID && data != nullptr && running &&
           width <= 8192 && height <= 8192;
}

static bool reserve_row(size_t row_size) {
    if (video_row_capacity >= row_size) return true;
    release_video_buffer();
    video_row_buffer = (uint8_t *)platform_heap_alloc(process_heap, row_size);
    if (!video_row_buffer) return false;
    video_row_capacity = row_size;
    return true;
}

void release_video_buffer(void) {
    if (video_row_buffer) platform_heap_free(process_heap, video_row_buffer);
    video_row_buffer = nullptr;
    video_row_capacity = 0;
}

void video_refresh(const void *data, unsigned width, unsigned height, size_t pitch) {
    if (!frame_is_sendable(data, width, height)) return;
    uint32_t row_size = width * 4;
    if (!reserve_row(row_size)) return;
    send_packet_header(PACKET_VIDEO, row_size * height + 8);
    uint8_t frame_header[8];
    store_u32(frame_header, width);
    store_u32(frame_header + 4, height);
    write_all(protocol_output, frame_header, sizeof frame_header);
    for (unsigned y = 0; y < height; y++) {
        // Address arithmetic on integers: a core's pitch may be anything.
        const void *row = (const void *)((uintptr_t)data + (uintptr_t)y * pitch);
        convert_row(pixel_format, row, video_row_buffer, width);
        write_all(protocol_output, video_row_buffer, row_size);
    }
}
