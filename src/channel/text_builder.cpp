// Bounded text building without any formatting library.
#include "channel/text_builder.h"

void text_start(text_builder *text, char *buffer, uint32_t capacity, uint32_t bound) {
    text->buffer = buffer;
    text->capacity = capacity;
    text->length = 0;
    text->bound = bound;
    buffer[0] = 0;
}

static bool room_for(const text_builder *text, uint32_t bytes) {
    return text->length + bytes < text->capacity;
}

static void put(text_builder *text, char byte) {
    text->buffer[text->length++] = byte;
}

void text_append_byte(text_builder *text, char byte) {
    if (text->length < text->bound && room_for(text, 1)) put(text, byte);
}

void text_append_string(text_builder *text, const char *string) {
    if (!string) return;
    for (; *string && text->length < text->bound; string++) text_append_byte(text, *string);
}

void text_append_escaped(text_builder *text, const char *string) {
    if (!string) return;
    for (; *string && text->length < text->bound; string++) {
        if (*string == '"' || *string == '\\') {
            if (!room_for(text, 2)) return;
            put(text, '\\');
            put(text, *string);
        } else {
            text_append_byte(text, *string);
        }
    }
}

static void append_digits(text_builder *text, uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) text_append_byte(text, digits[--count]);
}

void text_append_unsigned(text_builder *text, uint32_t value) {
    append_digits(text, value);
}

void text_append_signed(text_builder *text, int32_t value) {
    uint32_t magnitude = (uint32_t)value;
    if (value < 0) {
        text_append_byte(text, '-');
        // Two's complement negation is exact for the most negative value too.
        magnitude = 0u - magnitude;
    }
    append_digits(text, magnitude);
}

void text_append_closing(text_builder *text, const char *string) {
    for (; *string && room_for(text, 1); string++) put(text, *string);
}

const char *text_finish(text_builder *text) {
    text->buffer[text->length] = 0;
    return text->buffer;
}

uint32_t text_length(const char *string) {
    uint32_t length = 0;
    if (string)
        while (string[length]) length++;
    return length;
}
