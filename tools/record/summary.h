// The recorder's account of a run: what the host sent, how fast, how it
// ended, and which files hold it; written as summary.txt for people and
// summary.json for programs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kalmo {

struct WavPart {
    std::string file;  // name inside the output folder
    uint32_t sample_rate = 0;
    uint64_t frames = 0;
    uint64_t first_audio_frame = 0;  // position of its first frame in the whole run's audio
};

struct RunSummary {
    // How the run went: "ok", or a short description of what went wrong.
    std::string result = "ok";
    bool ok = true;
    std::vector<std::string> notes;

    std::string host, core, content;
    std::string core_message;   // the "core" status message's text
    std::string error_message;  // the host's "error" status message, if any
    std::string last_state;
    bool saw_running = false, saw_stopped = false, saw_shutdown = false;

    std::optional<int> exit_code, exit_signal;
    bool quit_sent = false, killed_by_recorder = false;

    std::optional<double> seconds_to_running, seconds_to_first_frame;
    double seconds_recorded = 0;  // from "running" to the end of the stream

    uint64_t frames = 0;
    uint32_t last_width = 0, last_height = 0;
    std::vector<std::string> frame_sizes;  // distinct "WxH", in order of appearance
    std::optional<uint32_t> av_width, av_height;
    std::optional<double> av_aspect;
    uint64_t geometry_messages = 0;
    std::optional<double> measured_fps;  // between the first and the last frame

    uint64_t audio_blocks = 0, audio_frames = 0;
    std::vector<uint32_t> sample_rates;  // in the order used, one entry per change
    std::optional<double> audio_seconds;
    std::optional<double> audio_frames_per_video_frame, core_fps_from_audio;
    std::vector<WavPart> wav_parts;

    uint64_t status_messages = 0, diagnostic_lines = 0, commands_sent = 0, script_lines_unsent = 0;
    uint64_t protocol_bytes = 0, diagnostic_bytes = 0;
    std::string stream_error;  // undecodable or cut-off protocol output
    uint64_t partial_packet_bytes = 0;

    std::vector<std::string> png_files;
    std::string contact_sheet, status_file, diagnostics_file, stream_file;
};

bool write_summary_files(const std::string &folder, const RunSummary &summary, std::string &error);
std::string summary_text(const RunSummary &summary);
std::string summary_json(const RunSummary &summary);

}  // namespace kalmo
