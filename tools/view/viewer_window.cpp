// SDL window, renderer and frame texture of the viewer; see viewer_window.h.
#include "viewer_window.h"

#include <algorithm>
#include <cmath>

namespace kalmo {

WindowSize fit_window_size(double width, double height, int scale, int usable_width, int usable_height) {
    auto fits = [&](double w, double h) { return w <= usable_width && h <= usable_height; };
    WindowSize size{int(std::lround(width * scale)), int(std::lround(height * scale)), scale, false};
    if (usable_width <= 0 || usable_height <= 0 || fits(size.width, size.height)) return size;
    size.clamped = true;
    for (int smaller = scale - 1; smaller >= 1; smaller--) {
        if (!fits(std::lround(width * smaller), std::lround(height * smaller))) continue;
        size.width = int(std::lround(width * smaller));
        size.height = int(std::lround(height * smaller));
        size.scale = smaller;
        return size;
    }
    double shrink = std::min(usable_width / width, usable_height / height);
    size.width = std::max(1, int(width * shrink));
    size.height = std::max(1, int(height * shrink));
    size.scale = 0;
    return size;
}

void ViewerWindow::usable_area(int &width, int &height) const {
    width = height = 0;
    int display = window_ ? SDL_GetWindowDisplayIndex(window_) : 0;
    SDL_Rect bounds;
    if (display < 0 || SDL_GetDisplayUsableBounds(display, &bounds) != 0) return;
    int top = 0, left = 0, bottom = 0, right = 0;
    // Fails (leaving zeros) where the window manager does not say.
    if (window_) SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right);
    width = bounds.w - left - right;
    height = bounds.h - top - bottom;
}

ViewerWindow::~ViewerWindow() {
    if (texture_) SDL_DestroyTexture(texture_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
}

bool ViewerWindow::open(int width, int height, bool smooth, std::string &error) {
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, smooth ? "1" : "0");
    window_ = SDL_CreateWindow("KALMO view", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                               SDL_WINDOW_RESIZABLE);
    if (!window_) {
        error = SDL_GetError();
        return false;
    }
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    if (!renderer_) {
        error = SDL_GetError();
        return false;
    }
    present();
    return true;
}

void ViewerWindow::set_title(const std::string &title) { SDL_SetWindowTitle(window_, title.c_str()); }

void ViewerWindow::take_frame(uint32_t width, uint32_t height, const uint8_t *rgba) {
    if (!texture_ || width != frame_width_ || height != frame_height_) {
        if (texture_) SDL_DestroyTexture(texture_);
        texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGBA32, SDL_TEXTUREACCESS_STREAMING, int(width),
                                     int(height));
        frame_width_ = width;
        frame_height_ = height;
    }
    if (texture_) SDL_UpdateTexture(texture_, nullptr, rgba, int(width * 4));
}

SDL_Rect ViewerWindow::picture_rect() const {
    int window_width = 0, window_height = 0;
    SDL_GetRendererOutputSize(renderer_, &window_width, &window_height);
    if (frame_width_ == 0 || frame_height_ == 0) return SDL_Rect{0, 0, window_width, window_height};
    double aspect = aspect_ > 0 ? aspect_ : double(frame_width_) / frame_height_;
    int width = window_width, height = int(window_width / aspect + 0.5);
    if (height > window_height) {
        height = window_height;
        width = int(window_height * aspect + 0.5);
    }
    return SDL_Rect{(window_width - width) / 2, (window_height - height) / 2, width, height};
}

void ViewerWindow::present() {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    if (texture_) {
        SDL_Rect rect = picture_rect();
        SDL_RenderCopy(renderer_, texture_, nullptr, &rect);
    }
    SDL_RenderPresent(renderer_);
}

PictureGeometry ViewerWindow::geometry() const {
    PictureGeometry geometry;
    // Window coordinates may differ from renderer pixels on high-density screens.
    SDL_GetWindowSize(window_, &geometry.window_width, &geometry.window_height);
    SDL_GetRendererOutputSize(renderer_, &geometry.drawable_width, &geometry.drawable_height);
    SDL_Rect rect = picture_rect();
    geometry.picture_x = rect.x;
    geometry.picture_y = rect.y;
    geometry.picture_width = rect.w;
    geometry.picture_height = rect.h;
    geometry.frame_width = frame_width_;
    geometry.frame_height = frame_height_;
    return geometry;
}

}  // namespace kalmo
