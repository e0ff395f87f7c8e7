// The demo's picture and everything that moves in it: a drifting colour
// gradient, bouncing balls, a box steered by the arrow keys, the marks left
// by clicks and, on top, a large mouse cursor. The scene knows nothing of
// Libretro; the entry points feed it one frame of input at a time.
#pragma once

#include <stdint.h>

#include "font.h"

#define SCENE_WIDTH 320
#define SCENE_HEIGHT 240

enum ScenePalette { PALETTE_SUNSET, PALETTE_OCEAN, PALETTE_FOREST };

struct SceneSettings {
    int ball_speed;  // 1 to 4
    ScenePalette palette;
};

// Input gathered for one frame.
struct SceneInput {
    int mouse_dx;
    int mouse_dy;
    bool mouse_left;
    bool mouse_right;
    int wheel;  // > 0 up, < 0 down
    bool arrow_up, arrow_down, arrow_left, arrow_right;
};

// What happened during a step that the sound should answer.
struct SceneEvents {
    bool clicked;
    int click_pan;  // 0 (left edge) to 255 (right edge)
};

void scene_reset(const SceneSettings &settings);
// A typed character (from the keyboard callback): letters recolour the
// background, digits 1 to 4 set the ball speed, space pauses the balls.
void scene_type(uint32_t character);
SceneEvents scene_step(const SceneInput &input);
void scene_draw(Frame565 frame);
