// Error, stage and geometry status messages, each composed in a fixed stack
// buffer under its own bound and handed to send_status.
#include "channel/status_messages.h"

#include "channel/diagnostics.h"
#include "channel/packet.h"
#include "channel/text_builder.h"

void send_error(const char *message) {
    char buffer[520];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, 480);
    text_append_string(&text, "{\"state\":\"error\",\"message\":\"");
    text_append_escaped(&text, message);
    text_append_closing(&text, "\"}");
    send_status(text_finish(&text));
}

void send_stage(const char *stage, const char *message) {
    char buffer[512];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, 500);
    text_append_string(&text, "{\"state\":\"stage\",\"stage\":\"");
    text_append_string(&text, stage);
    text_append_string(&text, "\",\"message\":\"");
    text_append_escaped(&text, message);
    text_append_closing(&text, "\"}");
    send_status(text_finish(&text));
    write_diag_line(stage);
}

// Three decimals, rounded half up in single precision. A thousandfold beyond
// 32 bits has no meaningful rendering; it is clamped to the largest value so
// the text stays deterministic.
static void append_aspect(text_builder *text, float aspect) {
    float scaled = aspect * 1000.0f + 0.5f;
    uint32_t thousandths = scaled >= 4294967295.0f ? 4294967295u : (uint32_t)scaled;
    text_append_string(text, ",\"aspect\":");
    text_append_unsigned(text, thousandths / 1000);
    text_append_byte(text, '.');
    uint32_t fraction = thousandths % 1000;
    text_append_byte(text, (char)('0' + fraction / 100));
    text_append_byte(text, (char)('0' + fraction / 10 % 10));
    text_append_byte(text, (char)('0' + fraction % 10));
}

void send_geometry(const char *kind, uint32_t width, uint32_t height, float aspect) {
    char buffer[256];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, sizeof buffer - 1);
    text_append_string(&text, "{\"state\":\"");
    text_append_string(&text, kind);
    text_append_string(&text, "\",\"width\":");
    text_append_unsigned(&text, width);
    text_append_string(&text, ",\"height\":");
    text_append_unsigned(&text, height);
    if (aspect > 0.01f) append_aspect(&text, aspect);
    text_append_closing(&text, "}");
    send_status(text_finish(&text));
}
