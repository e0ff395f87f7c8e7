// Rendering the run summary as text and as JSON.
#include "summary.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <type_traits>

namespace kalmo {

namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

template <typename T> std::string json_or_null(const std::optional<T> &value, int decimals = 3) {
    if (!value) return "null";
    if constexpr (std::is_floating_point_v<T>)
        return fixed(*value, decimals);
    else
        return std::to_string(*value);
}

std::string json_strings(const std::vector<std::string> &items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); i++) out += (i ? ", " : "") + quoted(items[i]);
    return out + "]";
}

std::string text_or(const std::optional<double> &value, int decimals, const std::string &unit,
                    const std::string &missing) {
    return value ? fixed(*value, decimals) + unit : missing;
}

}  // namespace

std::string summary_text(const RunSummary &s) {
    std::ostringstream out;
    out << "KALMO recording summary\n";
    out << "result:            " << s.result << "\n";
    for (const std::string &note : s.notes) out << "note:              " << note << "\n";
    out << "host:              " << s.host << "\n";
    out << "core:              " << s.core << (s.core_message.empty() ? "" : "  (" + s.core_message + ")") << "\n";
    out << "content:           " << s.content << "\n";
    out << "host exit:         ";
    if (s.exit_code)
        out << "code " << *s.exit_code;
    else if (s.exit_signal)
        out << "killed by signal " << *s.exit_signal;
    else
        out << "unknown";
    out << (s.killed_by_recorder ? " (killed by the recorder)" : "") << (s.quit_sent ? ", after QUIT" : "") << "\n";
    if (!s.error_message.empty()) out << "host error:        " << s.error_message << "\n";
    out << "last status:       " << (s.last_state.empty() ? "none" : s.last_state) << "\n";
    out << "time to running:   " << text_or(s.seconds_to_running, 3, " s", "never reached") << "\n";
    out << "time to 1st frame: " << text_or(s.seconds_to_first_frame, 3, " s", "no frame") << "\n";
    out << "recorded for:      " << fixed(s.seconds_recorded, 3) << " s after running\n";
    out << "video frames:      " << s.frames;
    if (!s.frame_sizes.empty()) {
        out << " (";
        for (size_t i = 0; i < s.frame_sizes.size(); i++) out << (i ? ", " : "") << s.frame_sizes[i];
        out << ")";
    }
    out << "\n";
    if (s.av_width)
        out << "av geometry:       " << *s.av_width << "x" << *s.av_height
            << (s.av_aspect ? ", aspect " + fixed(*s.av_aspect, 3) : "") << "\n";
    out << "frame rate:        measured " << text_or(s.measured_fps, 2, " fps", "n/a") << "; core's, from its audio "
        << text_or(s.core_fps_from_audio, 2, " fps", "n/a")
        << " (the av status message carries no frame rate)\n";
    out << "audio:             " << s.audio_frames << " frames in " << s.audio_blocks << " blocks";
    if (!s.sample_rates.empty()) {
        out << " at ";
        for (size_t i = 0; i < s.sample_rates.size(); i++) out << (i ? " then " : "") << s.sample_rates[i] << " Hz";
        out << " = " << text_or(s.audio_seconds, 3, " s", "?");
    }
    out << "\n";
    if (s.audio_frames_per_video_frame)
        out << "audio per frame:   " << fixed(*s.audio_frames_per_video_frame, 1) << " audio frames per video frame\n";
    for (const WavPart &part : s.wav_parts)
        out << "wav:               " << part.file << " (" << part.sample_rate << " Hz, " << part.frames
            << " frames, from audio frame " << part.first_audio_frame << ")\n";
    out << "status messages:   " << s.status_messages << " (" << s.status_file << ")\n";
    out << "diagnostic lines:  " << s.diagnostic_lines << " (" << s.diagnostics_file << ")\n";
    out << "commands sent:     " << s.commands_sent;
    if (s.script_lines_unsent) out << " (" << s.script_lines_unsent << " script lines never came due)";
    out << "\n";
    out << "protocol bytes:    " << s.protocol_bytes << "\n";
    if (!s.stream_error.empty()) out << "stream error:      " << s.stream_error << "\n";
    if (!s.contact_sheet.empty()) out << "contact sheet:     " << s.contact_sheet << "\n";
    out << "frame PNGs:        " << s.png_files.size();
    for (size_t i = 0; i < s.png_files.size() && i < 8; i++) out << (i ? ", " : " (") << s.png_files[i];
    if (!s.png_files.empty()) out << (s.png_files.size() > 8 ? ", ...)" : ")");
    out << "\n";
    if (!s.stream_file.empty()) out << "raw stream:        " << s.stream_file << "\n";
    return out.str();
}

std::string summary_json(const RunSummary &s) {
    std::ostringstream out;
    out << "{\n";
    out << "  \"result\": " << quoted(s.result) << ",\n";
    out << "  \"ok\": " << (s.ok ? "true" : "false") << ",\n";
    out << "  \"notes\": " << json_strings(s.notes) << ",\n";
    out << "  \"host\": " << quoted(s.host) << ",\n";
    out << "  \"core\": " << quoted(s.core) << ",\n";
    out << "  \"content\": " << quoted(s.content) << ",\n";
    out << "  \"core_message\": " << quoted(s.core_message) << ",\n";
    out << "  \"error_message\": " << quoted(s.error_message) << ",\n";
    out << "  \"last_state\": " << quoted(s.last_state) << ",\n";
    out << "  \"saw_running\": " << (s.saw_running ? "true" : "false") << ",\n";
    out << "  \"saw_stopped\": " << (s.saw_stopped ? "true" : "false") << ",\n";
    out << "  \"saw_shutdown\": " << (s.saw_shutdown ? "true" : "false") << ",\n";
    out << "  \"exit_code\": " << json_or_null(s.exit_code) << ",\n";
    out << "  \"exit_signal\": " << json_or_null(s.exit_signal) << ",\n";
    out << "  \"quit_sent\": " << (s.quit_sent ? "true" : "false") << ",\n";
    out << "  \"killed_by_recorder\": " << (s.killed_by_recorder ? "true" : "false") << ",\n";
    out << "  \"seconds_to_running\": " << json_or_null(s.seconds_to_running) << ",\n";
    out << "  \"seconds_to_first_frame\": " << json_or_null(s.seconds_to_first_frame) << ",\n";
    out << "  \"seconds_recorded\": " << fixed(s.seconds_recorded, 3) << ",\n";
    out << "  \"video\": {\n";
    out << "    \"frames\": " << s.frames << ",\n";
    out << "    \"last_width\": " << s.last_width << ",\n";
    out << "    \"last_height\": " << s.last_height << ",\n";
    out << "    \"sizes\": " << json_strings(s.frame_sizes) << ",\n";
    out << "    \"av_width\": " << json_or_null(s.av_width) << ",\n";
    out << "    \"av_height\": " << json_or_null(s.av_height) << ",\n";
    out << "    \"av_aspect\": " << json_or_null(s.av_aspect) << ",\n";
    out << "    \"geometry_messages\": " << s.geometry_messages << ",\n";
    out << "    \"measured_fps\": " << json_or_null(s.measured_fps) << ",\n";
    out << "    \"core_fps_from_audio\": " << json_or_null(s.core_fps_from_audio) << "\n";
    out << "  },\n";
    out << "  \"audio\": {\n";
    out << "    \"blocks\": " << s.audio_blocks << ",\n";
    out << "    \"frames\": " << s.audio_frames << ",\n";
    out << "    \"sample_rates\": [";
    for (size_t i = 0; i < s.sample_rates.size(); i++) out << (i ? ", " : "") << s.sample_rates[i];
    out << "],\n";
    out << "    \"seconds\": " << json_or_null(s.audio_seconds) << ",\n";
    out << "    \"frames_per_video_frame\": " << json_or_null(s.audio_frames_per_video_frame) << ",\n";
    out << "    \"wav\": [";
    for (size_t i = 0; i < s.wav_parts.size(); i++) {
        const WavPart &p = s.wav_parts[i];
        out << (i ? ", " : "") << "{\"file\": " << quoted(p.file) << ", \"sample_rate\": " << p.sample_rate
            << ", \"frames\": " << p.frames << ", \"first_audio_frame\": " << p.first_audio_frame << "}";
    }
    out << "]\n";
    out << "  },\n";
    out << "  \"status_messages\": " << s.status_messages << ",\n";
    out << "  \"diagnostic_lines\": " << s.diagnostic_lines << ",\n";
    out << "  \"commands_sent\": " << s.commands_sent << ",\n";
    out << "  \"script_lines_unsent\": " << s.script_lines_unsent << ",\n";
    out << "  \"protocol_bytes\": " << s.protocol_bytes << ",\n";
    out << "  \"diagnostic_bytes\": " << s.diagnostic_bytes << ",\n";
    out << "  \"stream_error\": " << quoted(s.stream_error) << ",\n";
    out << "  \"partial_packet_bytes\": " << s.partial_packet_bytes << ",\n";
    out << "  \"files\": {\n";
    out << "    \"contact_sheet\": " << quoted(s.contact_sheet) << ",\n";
    out << "    \"frames\": " << json_strings(s.png_files) << ",\n";
    out << "    \"status\": " << quoted(s.status_file) << ",\n";
    out << "    \"diagnostics\": " << quoted(s.diagnostics_file) << ",\n";
    out << "    \"stream\": " << quoted(s.stream_file) << "\n";
    out << "  }\n";
    out << "}\n";
    return out.str();
}

bool write_summary_files(const std::string &folder, const RunSummary &summary, std::string &error) {
    std::ofstream text(folder + "/summary.txt", std::ios::binary);
    text << summary_text(summary);
    std::ofstream json(folder + "/summary.json", std::ios::binary);
    json << summary_json(summary);
    text.close();
    json.close();
    if (!text || !json) {
        error = "cannot write the summary in " + folder;
        return false;
    }
    return true;
}

}  // namespace kalmo
