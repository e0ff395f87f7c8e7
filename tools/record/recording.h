// One recording in progress: takes the host's protocol and diagnostic bytes
// as they arrive and turns them into the output folder's files (frame PNGs,
// WAV, status.jsonl, diagnostics.txt, the raw stream, the contact sheet) and
// the figures of the summary. It does not talk to the host; the run loop in
// record_main.cpp does.
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

    // `seconds` is the time since the host was started.
    void take_protocol_bytes(const char *bytes, size_t count, double seconds);
    void take_diagnostic_bytes(const char *bytes, size_t count);

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
    void take_packet(const Packet &packet, double seconds);
    void take_status(const std::string &text, double seconds);
    void take_frame(VideoFrame &frame, double seconds);
    void take_audio(const AudioBlock &block);
    void write_frame_png(const VideoFrame &frame, uint64_t number);
    void note_output_error(const std::string &error);

    RecordingOutputs outputs_;
    RunSummary &summary_;
    StreamDecoder decoder_;
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
