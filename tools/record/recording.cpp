// Turning the host's streams into the recorder's files; see recording.h.
#include "recording.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "png_file.h"

namespace fs = std::filesystem;

namespace kalmo {

namespace {

std::string frame_file_name(uint64_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "frames/frame_%06llu.png", (unsigned long long)number);
    return name;
}

bool is_earlier_output(const fs::path &path) {
    std::string name = path.filename().string();
    return name == "contact_sheet.png" || name == "status.jsonl" || name == "diagnostics.txt" ||
           name == "summary.txt" || name == "summary.json" || name == "stream.kalmo" ||
           (name.rfind("audio", 0) == 0 && path.extension() == ".wav");
}

}  // namespace

std::string json_string_member(const std::string &json, const std::string &key) {
    std::string marker = "\"" + key + "\":\"";
    size_t start = json.find(marker);
    if (start == std::string::npos) return "";
    std::string value;
    for (size_t i = start + marker.size(); i < json.size() && json[i] != '"'; i++) {
        if (json[i] == '\\' && i + 1 < json.size()) i++;
        value += json[i];
    }
    return value;
}

bool json_number_member(const std::string &json, const std::string &key, double &value) {
    std::string marker = "\"" + key + "\":";
    size_t start = json.find(marker);
    if (start == std::string::npos) return false;
    const char *text = json.c_str() + start + marker.size();
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text;
}

Recording::Recording(RecordingOutputs outputs, RunSummary &summary)
    : outputs_(std::move(outputs)), summary_(summary), sampler_(outputs_.sheet_frames, outputs_.sheet_thumb_width) {}

Recording::~Recording() {
    for (FILE *file : {status_file_, diagnostics_file_, stream_file_})
        if (file) std::fclose(file);
}

bool Recording::open(std::string &error) {
    std::error_code failure;
    fs::create_directories(outputs_.folder, failure);
    if (failure) {
        error = "cannot create " + outputs_.folder + ": " + failure.message();
        return false;
    }
    // A folder used before keeps no stale frames or audio parts to mislead.
    for (const fs::directory_entry &entry : fs::directory_iterator(outputs_.folder, failure))
        if (entry.is_regular_file() && is_earlier_output(entry.path())) fs::remove(entry.path(), failure);
    fs::path frames = fs::path(outputs_.folder) / "frames";
    if (fs::is_directory(frames, failure))
        for (const fs::directory_entry &entry : fs::directory_iterator(frames, failure))
            if (entry.path().extension() == ".png") fs::remove(entry.path(), failure);

    summary_.status_file = "status.jsonl";
    summary_.diagnostics_file = "diagnostics.txt";
    status_file_ = std::fopen((outputs_.folder + "/status.jsonl").c_str(), "wb");
    diagnostics_file_ = std::fopen((outputs_.folder + "/diagnostics.txt").c_str(), "wb");
    if (outputs_.save_stream) {
        summary_.stream_file = "stream.kalmo";
        stream_file_ = std::fopen((outputs_.folder + "/stream.kalmo").c_str(), "wb");
    }
    if (!status_file_ || !diagnostics_file_ || (outputs_.save_stream && !stream_file_)) {
        error = "cannot write in " + outputs_.folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Recording::note_output_error(const std::string &error) {
    if (output_errors_.size() < 20) output_errors_.push_back(error);
}

// Counts the packet and writes it to stream.kalmo as the host sent it: the
// library checked it whole, so header, sizes and payload are rebuilt exactly.
void Recording::keep_packet(uint8_t type, const void *head, size_t head_size, const void *body, size_t body_size) {
    uint32_t length = uint32_t(head_size + body_size);
    summary_.protocol_bytes += kPacketHeaderSize + length;
    if (!stream_file_) return;
    uint8_t header[kPacketHeaderSize] = {'K', 'L', 'M', 'P', type, uint8_t(length), uint8_t(length >> 8),
                                         uint8_t(length >> 16), uint8_t(length >> 24)};
    bool written = std::fwrite(header, 1, sizeof header, stream_file_) == sizeof header &&
                   std::fwrite(head, 1, head_size, stream_file_) == head_size &&
                   std::fwrite(body, 1, body_size, stream_file_) == body_size;
    if (!written) note_output_error("cannot write stream.kalmo");
}

// The library hands lines over without their CR LF, which every host line ends with.
void Recording::take_diagnostic_line(const std::string &line) {
    summary_.diagnostic_bytes += line.size() + 2;
    summary_.diagnostic_lines++;
    if (std::fwrite(line.data(), 1, line.size(), diagnostics_file_) != line.size() ||
        std::fwrite("\r\n", 1, 2, diagnostics_file_) != 2)
        note_output_error("cannot write diagnostics.txt");
    std::fflush(diagnostics_file_);
}

void Recording::take_stream_error(const std::string &text, uint64_t partial_packet_bytes) {
    if (summary_.stream_error.empty()) summary_.stream_error = text;
    summary_.partial_packet_bytes = partial_packet_bytes;
}

void Recording::take_status(const std::string &text, double seconds) {
    keep_packet(kStatusPacket, text.data(), text.size(), nullptr, 0);
    summary_.status_messages++;
    std::fwrite(text.data(), 1, text.size(), status_file_);
    std::fputc('\n', status_file_);
    std::fflush(status_file_);

    std::string state = json_string_member(text, "state");
    summary_.last_state = state;
    if (state == "core") summary_.core_message = json_string_member(text, "message");
    if (state == "error") summary_.error_message = json_string_member(text, "message");
    if (state == "stopped") summary_.saw_stopped = true;
    if (state == "shutdown") summary_.saw_shutdown = true;
    if (state == "running" && !summary_.saw_running) {
        summary_.saw_running = true;
        summary_.seconds_to_running = seconds;
        running_at_ = seconds;
    }
    if (state == "av" || state == "geometry") {
        double width = 0, height = 0, aspect = 0;
        summary_.geometry_messages++;
        if (json_number_member(text, "width", width)) summary_.av_width = uint32_t(width);
        if (json_number_member(text, "height", height)) summary_.av_height = uint32_t(height);
        if (json_number_member(text, "aspect", aspect))
            summary_.av_aspect = aspect;
        else
            summary_.av_aspect.reset();
    }
}

void Recording::take_frame(uint32_t width, uint32_t height, const uint8_t *rgba, double seconds) {
    uint8_t sizes[8] = {uint8_t(width), uint8_t(width >> 8), uint8_t(width >> 16), uint8_t(width >> 24),
                        uint8_t(height), uint8_t(height >> 8), uint8_t(height >> 16), uint8_t(height >> 24)};
    size_t bytes = size_t(width) * height * 4;
    keep_packet(kVideoPacket, sizes, sizeof sizes, rgba, bytes);
    VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.rgba.assign(rgba, rgba + bytes);
    uint64_t number = ++summary_.frames;
    if (first_frame_at_ < 0) {
        first_frame_at_ = seconds;
        summary_.seconds_to_first_frame = seconds;
    }
    last_frame_at_ = seconds;
    std::string size = std::to_string(frame.width) + "x" + std::to_string(frame.height);
    if (summary_.frame_sizes.empty() || summary_.frame_sizes.back() != size) {
        bool known = false;
        for (const std::string &s : summary_.frame_sizes) known = known || s == size;
        if (!known) summary_.frame_sizes.push_back(size);
    }
    summary_.last_width = frame.width;
    summary_.last_height = frame.height;

    bool wanted = outputs_.png_frames.count(number) || (outputs_.png_first && number == 1) ||
                  (outputs_.png_every && number % outputs_.png_every == 0);
    if (wanted) write_frame_png(frame, number);
    double since_running = running_at_ < 0 ? 0 : seconds - running_at_;
    sampler_.offer(frame, number, since_running);
    last_frame_ = std::move(frame);
}

void Recording::write_frame_png(const VideoFrame &frame, uint64_t number) {
    std::string name = frame_file_name(number);
    for (const std::string &written : summary_.png_files)
        if (written == name) return;
    if (!frames_folder_made_) {
        std::error_code failure;
        fs::create_directories(outputs_.folder + "/frames", failure);
        frames_folder_made_ = true;
    }
    std::string error;
    if (write_png(outputs_.folder + "/" + name, frame.width, frame.height, 4, frame.rgba.data(), error))
        summary_.png_files.push_back(name);
    else
        note_output_error(error);
}

void Recording::take_audio(uint32_t sample_rate, uint32_t frames, const int16_t *samples) {
    uint8_t sizes[8] = {uint8_t(sample_rate), uint8_t(sample_rate >> 8), uint8_t(sample_rate >> 16),
                        uint8_t(sample_rate >> 24), uint8_t(frames), uint8_t(frames >> 8), uint8_t(frames >> 16),
                        uint8_t(frames >> 24)};
    keep_packet(kAudioPacket, sizes, sizeof sizes, samples, size_t(frames) * 4);
    summary_.audio_blocks++;
    if (!wav_.is_open() || wav_.sample_rate() != sample_rate) {
        if (wav_.is_open()) {
            summary_.wav_parts.back().frames = wav_.frames();
            wav_.close();
            summary_.notes.push_back("the sample rate changed from " + std::to_string(summary_.sample_rates.back()) +
                                     " Hz to " + std::to_string(sample_rate) + " Hz at audio frame " +
                                     std::to_string(summary_.audio_frames) + "; the audio goes on in a new WAV file");
        }
        summary_.sample_rates.push_back(sample_rate);
        WavPart part;
        part.file = summary_.wav_parts.empty() ? "audio.wav" : "audio-" + std::to_string(summary_.wav_parts.size() + 1) + ".wav";
        part.sample_rate = sample_rate;
        part.first_audio_frame = summary_.audio_frames;
        std::string error;
        if (!wav_.open(outputs_.folder + "/" + part.file, sample_rate, error)) note_output_error(error);
        summary_.wav_parts.push_back(part);
    }
    if (wav_.is_open() && !wav_.append(samples, frames))
        note_output_error("cannot write " + wav_.path());
    summary_.audio_frames += frames;
}

void Recording::finish(double seconds) {
    if (wav_.is_open()) {
        summary_.wav_parts.back().frames = wav_.frames();
        if (!wav_.close()) note_output_error("cannot finish " + wav_.path());
    }
    for (FILE **file : {&status_file_, &diagnostics_file_, &stream_file_}) {
        if (*file && std::fclose(*file) != 0) note_output_error("cannot finish an output file");
        *file = nullptr;
    }

    summary_.seconds_recorded = running_at_ < 0 ? 0 : seconds - running_at_;
    if (summary_.frames >= 2 && last_frame_at_ > first_frame_at_)
        summary_.measured_fps = double(summary_.frames - 1) / (last_frame_at_ - first_frame_at_);
    double audio_seconds = 0;
    for (const WavPart &part : summary_.wav_parts)
        if (part.sample_rate) audio_seconds += double(part.frames) / part.sample_rate;
    if (!summary_.wav_parts.empty()) summary_.audio_seconds = audio_seconds;
    if (summary_.frames > 0 && summary_.audio_frames > 0) {
        summary_.audio_frames_per_video_frame = double(summary_.audio_frames) / double(summary_.frames);
        summary_.core_fps_from_audio = double(summary_.frames) / audio_seconds;
    }

    if (summary_.frames > 0) {
        if (outputs_.png_last) write_frame_png(last_frame_, summary_.frames);
        double last_since_running = running_at_ < 0 ? 0 : last_frame_at_ - running_at_;
        std::vector<Thumbnail> picked = sampler_.pick(&last_frame_, summary_.frames, last_since_running);
        RgbImage sheet = compose_contact_sheet(picked, outputs_.sheet_columns);
        std::string error;
        if (write_png(outputs_.folder + "/contact_sheet.png", sheet.width, sheet.height, 3, sheet.rgb.data(), error))
            summary_.contact_sheet = "contact_sheet.png";
        else
            note_output_error(error);
    }
}

}  // namespace kalmo
