// The core's log becomes CORELOG lines on the diagnostic stream. The text is
// written straight from the core's memory, whole, with no copy or limit.
#include "core_services/core_log.h"

#include "channel/diagnostics.h"
#include "channel/packet.h"
#include "channel/text_builder.h"
#include "host/host_state.h"

void core_log(enum retro_log_level level, const char *format, ...) {
    char buffer[40];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, sizeof buffer - 1);
    text_append_string(&text, "CORELOG level=");
    text_append_unsigned(&text, (int32_t)level > 0 ? (uint32_t)level : 0);
    text_append_string(&text, " | ");
    write_all(diagnostic_stream, buffer, text.length);
    uint32_t length = text_length(format);
    if (length == 0) {
        write_all(diagnostic_stream, "(empty)\r\n", 9);
        return;
    }
    write_all(diagnostic_stream, format, length);
    // The core's own line feed ends the line.
    if (format[length - 1] != '\n') write_diag_end();
}
