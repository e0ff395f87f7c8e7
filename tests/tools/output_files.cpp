// PNG, WAV and JSON readers for the tools' tests; see output_files.h.
#include "output_files.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_run.h"

namespace kalmo_tools_test {

uint32_t Image::pixel(uint32_t x, uint32_t y) const {
    const uint8_t *p = &rgba[(size_t(y) * width + x) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool read_png(const std::string &path, Image &image) {
    image = Image{};
    png_image reader;
    std::memset(&reader, 0, sizeof reader);
    reader.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&reader, path.c_str())) return false;
    reader.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(reader));
    if (!png_image_finish_read(&reader, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&reader);
        return false;
    }
    image.width = reader.width;
    image.height = reader.height;
    image.rgba = std::move(pixels);
    return true;
}

namespace {

uint32_t u32_at(const std::string &bytes, size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 | uint32_t(uint8_t(bytes[at + 2])) << 16 |
           uint32_t(uint8_t(bytes[at + 3])) << 24;
}

uint16_t u16_at(const std::string &bytes, size_t at) {
    return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
}

}  // namespace

bool read_wav(const std::string &path, Wav &wav) {
    wav = Wav{};
    std::string bytes = kalmo_test::read_file(path);
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return false;
    bool have_format = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        std::string id = bytes.substr(at, 4);
        uint32_t size = u32_at(bytes, at + 4);
        size_t body = at + 8;
        if (body + size > bytes.size()) return false;
        if (id == "fmt " && size >= 16) {
            if (u16_at(bytes, body) != 1) return false;
            wav.channels = u16_at(bytes, body + 2);
            wav.sample_rate = u32_at(bytes, body + 4);
            wav.bits = u16_at(bytes, body + 14);
            have_format = true;
        } else if (id == "data") {
            wav.samples.resize(size / 2);
            for (size_t i = 0; i < wav.samples.size(); i++) wav.samples[i] = int16_t(u16_at(bytes, body + 2 * i));
            return have_format;
        }
        at = body + size + (size & 1);
    }
    return false;
}

namespace {

struct JsonReader {
    const std::string &text;
    size_t at = 0;

    void skip_space() {
        while (at < text.size() && std::strchr(" \t\r\n", text[at])) at++;
    }

    bool literal(const char *word) {
        size_t length = std::strlen(word);
        if (text.compare(at, length, word) != 0) return false;
        at += length;
        return true;
    }

    bool string(std::string &out) {
        if (at >= text.size() || text[at] != '"') return false;
        for (at++; at < text.size() && text[at] != '"'; at++) {
            if (text[at] != '\\') {
                out += text[at];
                continue;
            }
            if (++at >= text.size()) return false;
            char c = text[at];
            if (c == 'n') out += '\n';
            else if (c == 't') out += '\t';
            else if (c == 'r') out += '\r';
            else if (c == 'u' && at + 4 < text.size()) {
                out += char(std::strtol(text.substr(at + 1, 4).c_str(), nullptr, 16));
                at += 4;
            } else out += c;
        }
        if (at >= text.size()) return false;
        at++;
        return true;
    }

    bool value(Json &out) {
        skip_space();
        if (at >= text.size()) return false;
        char c = text[at];
        if (c == '{') return object(out);
        if (c == '[') return array(out);
        if (c == '"') {
            out.kind = Json::kString;
            return string(out.text);
        }
        if (literal("null")) return true;
        if (literal("true") || literal("false")) {
            out.kind = Json::kBool;
            out.boolean = text[at - 1] == 'e' && text[at - 2] == 'u';
            return true;
        }
        char *end = nullptr;
        out.number = std::strtod(text.c_str() + at, &end);
        if (end == text.c_str() + at) return false;
        out.kind = Json::kNumber;
        at = size_t(end - text.c_str());
        return true;
    }

    bool array(Json &out) {
        out.kind = Json::kArray;
        at++;
        skip_space();
        if (at < text.size() && text[at] == ']') return ++at, true;
        for (;;) {
            out.items.emplace_back();
            if (!value(out.items.back())) return false;
            skip_space();
            if (at < text.size() && text[at] == ',') { at++; continue; }
            if (at < text.size() && text[at] == ']') return ++at, true;
            return false;
        }
    }

    bool object(Json &out) {
        out.kind = Json::kObject;
        at++;
        skip_space();
        if (at < text.size() && text[at] == '}') return ++at, true;
        for (;;) {
            skip_space();
            std::string key;
            if (!string(key)) return false;
            skip_space();
            if (at >= text.size() || text[at] != ':') return false;
            at++;
            if (!value(out.members[key])) return false;
            skip_space();
            if (at < text.size() && text[at] == ',') { at++; continue; }
            if (at < text.size() && text[at] == '}') return ++at, true;
            return false;
        }
    }
};

}  // namespace

const Json &Json::operator[](const std::string &key) const {
    static const Json null_value;
    auto found = members.find(key);
    return found == members.end() ? null_value : found->second;
}

bool parse_json(const std::string &text, Json &value) {
    value = Json{};
    JsonReader reader{text};
    if (!reader.value(value)) return false;
    reader.skip_space();
    return reader.at == text.size();
}

}  // namespace kalmo_tools_test
