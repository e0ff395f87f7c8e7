// The viewer's window: shows the latest frame scaled to fill the window
// while keeping the picture's aspect (the one the host reported in its "av"
// or "geometry" message, else the frame's own), and tells the pointer where
// the picture is.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

#include "pointer_rule.h"

namespace kalmo {

// A window size for `scale` times a picture of `width` x `height` (already at
// its aspect). When that is larger than the usable screen area, it is the
// largest smaller whole scale that fits (`scale` says which), or below one,
// the picture shrunk to fit (`scale` 0); `clamped` tells either. An unknown
// area (0) leaves the size as asked.
struct WindowSize {
    int width = 0, height = 0, scale = 0;
    bool clamped = false;
};
WindowSize fit_window_size(double width, double height, int scale, int usable_width, int usable_height);

class ViewerWindow {
public:
    ~ViewerWindow();
    bool open(int width, int height, bool smooth, std::string &error);
    void set_title(const std::string &title);
    // Aspect of the picture as width / height; 0 means "the frame's own".
    void set_aspect(double aspect) { aspect_ = aspect; }
    // Replaces the texture's pixels with this frame's (rows of width * 4 bytes).
    void take_frame(uint32_t width, uint32_t height, const uint8_t *rgba);
    void present();
    // Where the picture is, for mapping the pointer to frame pixels.
    PictureGeometry geometry() const;
    // Room for the window's inside on its screen (display 0 before open()):
    // the screen less panels and docks, and less the window's frame once it
    // has one. Zeros when SDL cannot tell.
    void usable_area(int &width, int &height) const;
    uint32_t frame_width() const { return frame_width_; }
    uint32_t frame_height() const { return frame_height_; }
    SDL_Window *window() const { return window_; }

private:
    SDL_Rect picture_rect() const;

    SDL_Window *window_ = nullptr;
    SDL_Renderer *renderer_ = nullptr;
    SDL_Texture *texture_ = nullptr;
    uint32_t frame_width_ = 0, frame_height_ = 0;
    double aspect_ = 0;
};

}  // namespace kalmo
