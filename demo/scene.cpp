// Scene state, its per-frame update and its drawing into an RGB565 frame.
// Nothing here is random: the same input on the same frames always gives
// the same pictures, which the recorder's tests rely on.
#include "scene.h"

namespace {

constexpr int bar_height = 20;
constexpr int status_height = 16;
constexpr int field_top = bar_height;
constexpr int field_bottom = SCENE_HEIGHT - status_height;  // first row of the status bar
constexpr int max_marks = 48;

struct Colour {
    uint8_t r, g, b;
};

uint16_t rgb565(int r, int g, int b) { return uint16_t((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3)); }
uint16_t rgb565(Colour c) { return rgb565(c.r, c.g, c.b); }

const Colour palette_tints[] = {{255, 120, 60}, {60, 140, 255}, {70, 210, 90}};
// Letter keys pick one of these, a to z going round the list.
const Colour letter_tints[] = {{255, 90, 90}, {255, 170, 40}, {230, 230, 60}, {90, 230, 90},
                               {60, 220, 220}, {80, 120, 255}, {190, 90, 255}, {255, 90, 200}};
const uint16_t bar_colour = rgb565(20, 24, 48);
const uint16_t text_colour = rgb565(255, 255, 255);
const uint16_t dim_text_colour = rgb565(140, 150, 190);
const uint16_t mark_colour = rgb565(255, 0, 255);
const uint16_t outline_colour = rgb565(0, 0, 0);

// The arrow cursor, tip at the top-left: B outline, W fill.
const char *const cursor_shape[] = {
    "B...........", "BB..........", "BWB.........", "BWWB........", "BWWWB.......",
    "BWWWWB......", "BWWWWWB.....", "BWWWWWWB....", "BWWWWWWWB...", "BWWWWWWWWB..",
    "BWWWWWWWWWB.", "BWWWWWWBBBBB", "BWWWBWWB....", "BWWBBWWB....", "BWB..BWWB...",
    "BB...BWWB...", "B.....BWWB..", "......BWWB..", ".......BB...",
};

struct Ball {
    int x, y;  // centre, in 1/16 pixel
    int vx, vy;
    int radius;
    Colour colour;
};

struct Mark {
    int x, y;
};

struct State {
    SceneSettings settings;
    uint32_t frame_number;
    int cursor_x, cursor_y;
    int cursor_scale;
    bool left_held, right_held;
    Ball balls[3];
    int box_x, box_y;
    Mark marks[max_marks];
    int mark_count, next_mark;
    Colour tint;
    char last_key;
    bool paused;
} state;

int clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

void put_pixel(Frame565 frame, int x, int y, uint16_t colour) {
    if (x >= 0 && y >= 0 && x < frame.width && y < frame.height) frame.pixels[y * frame.width + x] = colour;
}

void fill_rect(Frame565 frame, int x, int y, int w, int h, uint16_t colour) {
    for (int py = y; py < y + h; py++)
        for (int px = x; px < x + w; px++) put_pixel(frame, px, py, colour);
}

void fill_circle(Frame565 frame, int cx, int cy, int radius, uint16_t colour) {
    for (int dy = -radius; dy <= radius; dy++)
        for (int dx = -radius; dx <= radius; dx++)
            if (dx * dx + dy * dy <= radius * radius) put_pixel(frame, cx + dx, cy + dy, colour);
}

void move_ball(Ball &ball) {
    int r = ball.radius * 16;
    ball.x += ball.vx * state.settings.ball_speed;
    ball.y += ball.vy * state.settings.ball_speed;
    if (ball.x < r || ball.x > SCENE_WIDTH * 16 - r) {
        ball.vx = -ball.vx;
        ball.x = clamp(ball.x, r, SCENE_WIDTH * 16 - r);
    }
    if (ball.y < field_top * 16 + r || ball.y > field_bottom * 16 - r) {
        ball.vy = -ball.vy;
        ball.y = clamp(ball.y, field_top * 16 + r, field_bottom * 16 - r);
    }
}

void draw_background(Frame565 frame) {
    Colour tint = state.tint;
    for (int y = field_top; y < field_bottom; y++) {
        for (int x = 0; x < SCENE_WIDTH; x++) {
            // Diagonal bands drifting right; channels stay below 210 so the
            // white cursor always stands out.
            int band = ((x + y + 2 * int(state.frame_number)) >> 2) & 63;
            int level = 80 + 4 * (band < 32 ? band : 63 - band);
            put_pixel(frame, x, y, rgb565(tint.r * level >> 8, tint.g * level >> 8, tint.b * level >> 8));
        }
    }
}

void draw_marks(Frame565 frame) {
    for (int i = 0; i < state.mark_count; i++) {
        const Mark &m = state.marks[i];
        fill_circle(frame, m.x, m.y, 9, outline_colour);
        fill_circle(frame, m.x, m.y, 7, mark_colour);
        fill_circle(frame, m.x, m.y, 3, outline_colour);
    }
}

void draw_box(Frame565 frame) {
    fill_rect(frame, state.box_x - 10, state.box_y - 10, 20, 20, outline_colour);
    fill_rect(frame, state.box_x - 8, state.box_y - 8, 16, 16, rgb565(255, 140, 0));
}

void append_number(char *&out, uint32_t value, int min_digits) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0 || count < min_digits);
    while (count > 0) *out++ = digits[--count];
}

void append_text(char *&out, const char *text) {
    while (*text) *out++ = *text++;
}

void draw_bars(Frame565 frame) {
    fill_rect(frame, 0, 0, SCENE_WIDTH, bar_height, bar_colour);
    draw_text(frame, 6, 3, 2, text_colour, "KALMO DEMO");
    char text[48];
    char *out = text;
    append_number(out, state.frame_number, 1);
    *out = 0;
    draw_text(frame, SCENE_WIDTH - 6 - text_width(text, 2), 3, 2, dim_text_colour, text);

    fill_rect(frame, 0, field_bottom, SCENE_WIDTH, status_height, bar_colour);
    out = text;
    append_text(out, "X ");
    append_number(out, uint32_t(state.cursor_x), 3);
    append_text(out, " Y ");
    append_number(out, uint32_t(state.cursor_y), 3);
    append_text(out, "  KEY ");
    *out++ = state.last_key ? state.last_key : '-';
    append_text(out, "  SPEED ");
    append_number(out, uint32_t(state.settings.ball_speed), 1);
    *out = 0;
    draw_text(frame, 4, field_bottom + 5, 1, text_colour, text);
    draw_text(frame, 196, field_bottom + 5, 1, state.left_held ? rgb565(255, 255, 0) : dim_text_colour, "LEFT");
    draw_text(frame, 226, field_bottom + 5, 1, state.right_held ? rgb565(120, 255, 120) : dim_text_colour, "RIGHT");
    draw_text(frame, 262, field_bottom + 5, 1, dim_text_colour, "MARKS");
    out = text;
    append_number(out, uint32_t(state.mark_count), 2);
    *out = 0;
    draw_text(frame, 298, field_bottom + 5, 1, text_colour, text);
}

void draw_cursor(Frame565 frame) {
    uint16_t fill = state.left_held ? rgb565(255, 255, 0) : state.right_held ? rgb565(120, 255, 120) : text_colour;
    int s = state.cursor_scale;
    for (int row = 0; row < 19; row++) {
        for (int column = 0; column < 12; column++) {
            char dot = cursor_shape[row][column];
            if (dot == '.') continue;
            uint16_t colour = dot == 'B' ? outline_colour : fill;
            fill_rect(frame, state.cursor_x + column * s, state.cursor_y + row * s, s, s, colour);
        }
    }
}

}  // namespace

void scene_reset(const SceneSettings &settings) {
    state = State{};
    state.settings = settings;
    state.settings.ball_speed = clamp(settings.ball_speed, 1, 4);
    state.cursor_x = SCENE_WIDTH / 2;
    state.cursor_y = SCENE_HEIGHT / 2;
    state.cursor_scale = 2;
    state.balls[0] = Ball{60 * 16, 70 * 16, 23, 17, 14, {230, 40, 40}};
    state.balls[1] = Ball{240 * 16, 100 * 16, -19, 25, 11, {40, 80, 230}};
    state.balls[2] = Ball{150 * 16, 180 * 16, 29, -13, 9, {170, 60, 220}};
    state.box_x = 40;
    state.box_y = 190;
    state.tint = palette_tints[settings.palette];
}

void scene_type(uint32_t character) {
    if (character >= 'A' && character <= 'Z') character += 'a' - 'A';
    if (character >= 'a' && character <= 'z') {
        state.tint = letter_tints[(character - 'a') % (sizeof letter_tints / sizeof letter_tints[0])];
        state.last_key = char(character - 'a' + 'A');
    } else if (character >= '1' && character <= '4') {
        state.settings.ball_speed = int(character - '0');
        state.last_key = char(character);
    } else if (character == ' ') {
        state.paused = !state.paused;
    }
}

SceneEvents scene_step(const SceneInput &input) {
    SceneEvents events{};
    state.frame_number++;
    state.cursor_x = clamp(state.cursor_x + input.mouse_dx, 0, SCENE_WIDTH - 1);
    state.cursor_y = clamp(state.cursor_y + input.mouse_dy, 0, SCENE_HEIGHT - 1);
    if (input.wheel != 0) state.cursor_scale = clamp(state.cursor_scale + (input.wheel > 0 ? 1 : -1), 1, 4);

    if (input.mouse_left && !state.left_held) {
        state.marks[state.next_mark] = Mark{state.cursor_x, state.cursor_y};
        state.next_mark = (state.next_mark + 1) % max_marks;
        if (state.mark_count < max_marks) state.mark_count++;
        events.clicked = true;
        events.click_pan = state.cursor_x * 255 / (SCENE_WIDTH - 1);
    }
    if (input.mouse_right && !state.right_held) {
        state.mark_count = 0;
        state.next_mark = 0;
    }
    state.left_held = input.mouse_left;
    state.right_held = input.mouse_right;

    state.box_x = clamp(state.box_x + 3 * (input.arrow_right - input.arrow_left), 10, SCENE_WIDTH - 10);
    state.box_y = clamp(state.box_y + 3 * (input.arrow_down - input.arrow_up), field_top + 10, field_bottom - 10);

    if (!state.paused)
        for (Ball &ball : state.balls) move_ball(ball);
    return events;
}

void scene_draw(Frame565 frame) {
    draw_background(frame);
    draw_marks(frame);
    for (const Ball &ball : state.balls) fill_circle(frame, ball.x / 16, ball.y / 16, ball.radius, rgb565(ball.colour));
    draw_box(frame);
    draw_bars(frame);
    draw_cursor(frame);
}
