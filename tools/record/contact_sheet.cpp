// Sampling, shrinking and laying out frames for the contact sheet, with a
// tiny digit font for the labels.
#include "contact_sheet.h"

#include <algorithm>
#include <cstdio>

namespace kalmo {

namespace {

constexpr uint32_t padding = 8;
constexpr uint32_t label_height = 22;
constexpr int label_scale = 2;
const uint8_t background[3] = {28, 28, 34};
const uint8_t label_colour[3] = {235, 235, 235};

struct Glyph {
    char character;
    uint8_t rows[7];  // bit 4 is the leftmost dot
};

const Glyph glyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'s', {0x00, 0x00, 0x0F, 0x10, 0x0E, 0x01, 0x1E}},
};

void draw_label(RgbImage &image, uint32_t x, uint32_t y, const std::string &text) {
    for (char c : text) {
        const Glyph *glyph = nullptr;
        for (const Glyph &g : glyphs)
            if (g.character == c) glyph = &g;
        for (int row = 0; glyph && row < 7; row++)
            for (int column = 0; column < 5; column++) {
                if (!(glyph->rows[row] & (0x10 >> column))) continue;
                for (int dy = 0; dy < label_scale; dy++)
                    for (int dx = 0; dx < label_scale; dx++) {
                        uint32_t px = x + uint32_t(column * label_scale + dx), py = y + uint32_t(row * label_scale + dy);
                        if (px >= image.width || py >= image.height) continue;
                        std::copy(label_colour, label_colour + 3, &image.rgb[(size_t(py) * image.width + px) * 3]);
                    }
            }
        x += 6 * label_scale;
    }
}

std::string label_for(const Thumbnail &thumbnail) {
    char text[64];
    std::snprintf(text, sizeof text, "#%llu %.2fs", (unsigned long long)thumbnail.frame_number,
                  thumbnail.seconds < 0 ? 0.0 : thumbnail.seconds);
    return text;
}

}  // namespace

Thumbnail make_thumbnail(const VideoFrame &frame, uint64_t frame_number, double seconds, uint32_t max_width) {
    Thumbnail thumbnail;
    thumbnail.frame_number = frame_number;
    thumbnail.seconds = seconds;
    uint32_t factor = max_width == 0 ? 1 : (frame.width + max_width - 1) / max_width;
    if (factor < 1) factor = 1;
    thumbnail.width = std::max<uint32_t>(1, frame.width / factor);
    thumbnail.height = std::max<uint32_t>(1, frame.height / factor);
    thumbnail.rgb.resize(size_t(thumbnail.width) * thumbnail.height * 3);
    for (uint32_t y = 0; y < thumbnail.height; y++)
        for (uint32_t x = 0; x < thumbnail.width; x++) {
            uint32_t sum[3] = {0, 0, 0}, count = 0;
            for (uint32_t sy = y * factor; sy < (y + 1) * factor && sy < frame.height; sy++)
                for (uint32_t sx = x * factor; sx < (x + 1) * factor && sx < frame.width; sx++) {
                    const uint8_t *p = &frame.rgba[(size_t(sy) * frame.width + sx) * 4];
                    for (int c = 0; c < 3; c++) sum[c] += p[c];
                    count++;
                }
            for (int c = 0; c < 3; c++)
                thumbnail.rgb[(size_t(y) * thumbnail.width + x) * 3 + c] = uint8_t(count ? sum[c] / count : 0);
        }
    return thumbnail;
}

void FrameSampler::offer(const VideoFrame &frame, uint64_t frame_number, double seconds) {
    if ((frame_number - 1) % stride_ != 0) return;
    kept_.push_back(make_thumbnail(frame, frame_number, seconds, max_width_));
    if (kept_.size() < 4 * wanted_) return;
    std::vector<Thumbnail> thinned;
    for (size_t i = 0; i < kept_.size(); i += 2) thinned.push_back(std::move(kept_[i]));
    kept_ = std::move(thinned);
    stride_ *= 2;
}

std::vector<Thumbnail> FrameSampler::pick(const VideoFrame *last_frame, uint64_t last_number,
                                          double last_seconds) const {
    std::vector<const Thumbnail *> pool;
    for (const Thumbnail &t : kept_) pool.push_back(&t);
    Thumbnail last;
    if (last_frame && (pool.empty() || pool.back()->frame_number != last_number)) {
        last = make_thumbnail(*last_frame, last_number, last_seconds, max_width_);
        pool.push_back(&last);
    }
    std::vector<Thumbnail> picked;
    if (pool.size() <= wanted_) {
        for (const Thumbnail *t : pool) picked.push_back(*t);
        return picked;
    }
    // Evenly spaced indices from the first to the last kept frame.
    for (size_t i = 0; i < wanted_; i++) picked.push_back(*pool[i * (pool.size() - 1) / (wanted_ - 1)]);
    return picked;
}

RgbImage compose_contact_sheet(const std::vector<Thumbnail> &thumbnails, int columns) {
    RgbImage sheet;
    if (thumbnails.empty()) return sheet;
    uint32_t cell_width = 0, cell_height = 0;
    for (const Thumbnail &t : thumbnails) {
        cell_width = std::max(cell_width, t.width);
        cell_height = std::max(cell_height, t.height);
    }
    // Room for the widest label ("#123456 123.45s").
    cell_width = std::max<uint32_t>(cell_width, 16 * 6 * label_scale);
    uint32_t cols = uint32_t(std::max(1, std::min<int>(columns, int(thumbnails.size()))));
    uint32_t rows = uint32_t((thumbnails.size() + cols - 1) / cols);
    sheet.width = padding + cols * (cell_width + padding);
    sheet.height = padding + rows * (cell_height + label_height + padding);
    sheet.rgb.resize(size_t(sheet.width) * sheet.height * 3);
    for (size_t i = 0; i < sheet.rgb.size(); i++) sheet.rgb[i] = background[i % 3];
    for (size_t i = 0; i < thumbnails.size(); i++) {
        const Thumbnail &t = thumbnails[i];
        uint32_t cell_x = padding + uint32_t(i % cols) * (cell_width + padding);
        uint32_t cell_y = padding + uint32_t(i / cols) * (cell_height + label_height + padding);
        uint32_t x0 = cell_x + (cell_width - t.width) / 2, y0 = cell_y + (cell_height - t.height) / 2;
        for (uint32_t y = 0; y < t.height; y++)
            std::copy_n(&t.rgb[size_t(y) * t.width * 3], t.width * 3, &sheet.rgb[(size_t(y0 + y) * sheet.width + x0) * 3]);
        draw_label(sheet, cell_x, cell_y + cell_height + 4, label_for(t));
    }
    return sheet;
}

}  // namespace kalmo
