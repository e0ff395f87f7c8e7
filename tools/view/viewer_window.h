// The viewer's window: shows the latest frame scaled to fill the window
// while keeping the picture's aspect (the one the host reported in its "av"
// or "geometry" message, else the frame's own), and maps window positions
// back to frame pixels for the pointer.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

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
    // Frame coordinates of a window position; false when it is outside the picture.
    bool to_frame(int window_x, int window_y, int &frame_x, int &frame_y) const;
    // How many frame pixels one window pixel covers, horizontally and vertically.
    void frame_pixels_per_window_pixel(double &x, double &y) const;
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
