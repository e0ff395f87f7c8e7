// The diagnostic stream: CR LF text lines on standard error.
#pragma once

#include <stdint.h>

// The text before its NUL (null: nothing), then CR LF: two writes.
void write_diag_line(const char *text);
// A piece of a line being written in parts; end it with write_diag_end.
void write_diag_text(const char *text);
void write_diag_end(void);
