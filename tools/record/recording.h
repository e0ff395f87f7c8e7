// One recording in progress: takes the host's packets and diagnostic lines
// as kalmo-client hands them over and turns them into the output folder's
// files (frame PNGs, WAV, status.jsonl, diagnostics.txt, the stream, the
// contact sheet) and the figures of the summary. It does not talk to the
// host; the run loop in record_main.cpp does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "contact_sheet.h"
#include "stream_decoder.h"
#include "summary.h"
#include "wav_file.h"

namespace kalmo {

struct RecordingOutputs {
    std::string folder;
    uint64_t png_every = 0;          // 0: none; N: frames N, 2N, 3N...
    std::set<uint64_t> png_frames;   // frame numbers, from 1
    bool png_first = false, png_last = false;
    bool save_stream = false;
    size_t sheet_frames = 12;
    int sheet_columns = 4;
    uint32_t sheet_thumb_width = 320;
};

class Recording {
public:
    Recording(RecordingOutputs outputs, RunSummary &summary);
    ~Recording();

    // Creates the folder and clears files an earlier recording left there.
    bool open(std::string &error);

    // One packet as the library read it; `seconds` is the time since the
    // host was started.
    void take_status(const std::string &text, double seconds);
    void take_frame(uint32_t width, uint32_t height, const uint8_t *rgba, double seconds);
    void take_audio(uint32_t sample_rate, uint32_t frames, const int16_t *samples);
    // One diagnostic line, without its CR LF.
    void take_diagnostic_line(const std::string &line);
    // The library found the stream broken (or cut) here; nothing follows.
    void take_stream_error(const std::string &text, uint64_t partial_packet_bytes);

    uint64_t frames() const { return summary_.frames; }
    bool running() const { return summary_.saw_running; }
    double running_since() const { return running_at_; }
    // The host's last status kind ("running", "error", ...).
    const std::string &state() const { return summary_.last_state; }

    // Closes the files and writes the last frame, the contact sheet and the
    // stream figures into the summary. `seconds` is when the run ended.
    void finish(double seconds);
    // Problems writing outputs, if any.
    const std::vector<std::string> &output_errors() const { return output_errors_; }

private:
    void keep_packet(uint8_t type, const void *head, size_t head_size, const void *body, size_t body_size);
    void write_frame_png(const VideoFrame &frame, uint64_t number);
    void note_output_error(const std::string &error);

    RecordingOutputs outputs_;
    RunSummary &summary_;
    FILE *status_file_ = nullptr;
    FILE *diagnostics_file_ = nullptr;
    FILE *stream_file_ = nullptr;
    WavWriter wav_;
    FrameSampler sampler_;
    VideoFrame last_frame_;
    double running_at_ = -1;
    double first_frame_at_ = -1, last_frame_at_ = -1;
    bool frames_folder_made_ = false;
    std::vector<std::string> output_errors_;
};

// The value of a string member in a flat JSON object such as a status
// message ("" when absent).
std::string json_string_member(const std::string &json, const std::string &key);
// The value of a number member, if present.
bool json_number_member(const std::string &json, const std::string &key, double &value);

}  // namespace kalmo
