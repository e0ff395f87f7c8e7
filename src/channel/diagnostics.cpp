// Diagnostic lines. Unbuffered: every line costs at least two writes, and a
// line may be written in several pieces.
#include "channel/diagnostics.h"

#include "channel/packet.h"
#include "channel/text_builder.h"
#include "host/host_state.h"

void write_diag_text(const char *text) {
    write_all(diagnostic_stream, text, text_length(text));
}

void write_diag_end(void) {
    write_all(diagnostic_stream, "\r\n", 2);
}

void write_diag_line(const char *text) {
    write_diag_text(text);
    write_diag_end();
}
