// The demo's text: a 5x7 bitmap font of upper-case letters, digits and a few
// signs, drawn straight into the RGB565 frame. Lower-case letters are drawn
// as their capitals; characters without a glyph are left blank.
#pragma once

#include <stdint.h>

struct Frame565 {
    uint16_t *pixels;
    int width;
    int height;
};

// Glyph cell: 5 columns and 7 rows of dots, each dot `scale` pixels square;
// characters advance by 6 dots.
void draw_text(Frame565 frame, int x, int y, int scale, uint16_t colour, const char *text);

// Width in pixels that draw_text covers for `text`.
int text_width(const char *text, int scale);
