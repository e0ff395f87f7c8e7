// The one bounded text builder behind every composed message and trace line.
//
// Bytes are appended while the text is shorter than `bound`; an escaped pair
// is always written whole, so the text may pass the bound by one byte. The
// capacity is a hard stop besides: nothing is ever written past the buffer.
#pragma once

#include <stdint.h>

struct text_builder {
    char *buffer;
    uint32_t capacity;  // bytes in buffer, terminator included
    uint32_t length;
    uint32_t bound;
};

void text_start(text_builder *text, char *buffer, uint32_t capacity, uint32_t bound);
void text_append_byte(text_builder *text, char byte);
void text_append_string(text_builder *text, const char *string);
// JSON string content: a double quote or backslash gets a backslash before it.
void text_append_escaped(text_builder *text, const char *string);
void text_append_unsigned(text_builder *text, uint32_t value);
void text_append_signed(text_builder *text, int32_t value);
// Appends regardless of the bound (closing bytes), still within capacity.
void text_append_closing(text_builder *text, const char *string);
// Terminates the text and returns it.
const char *text_finish(text_builder *text);

uint32_t text_length(const char *string);
