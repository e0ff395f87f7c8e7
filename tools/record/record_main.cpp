// kalmo-record: runs kalmo-host on a core and a content, optionally plays an
// input script to it, and keeps everything it sends in an output folder.
// This file holds the command line and the run loop; the files come from
// recording.cpp, the host and its streams from kalmo-client.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_session.h"
#include "record_script.h"
#include "recording.h"
#include "summary.h"

namespace fs = std::filesystem;
using namespace kalmo;

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kHostFailed = 3, kOutputFailed = 4 };

const char usage[] =
    "usage: kalmo-record --core PATH --content PATH --out DIR [options]\n"
    "\n"
    "Runs kalmo-host on a Libretro core and a content file, plays an optional\n"
    "input script to it, and writes what it sends into DIR:\n"
    "  contact_sheet.png  frames sampled evenly across the run, numbered\n"
    "  frames/            chosen frames as PNG (frame_000001.png is the first)\n"
    "  audio.wav          the audio (audio-2.wav... when the sample rate changes)\n"
    "  status.jsonl       every status message, one JSON object a line\n"
    "  diagnostics.txt    the host's diagnostic lines, each ended by CR LF\n"
    "  summary.txt/.json  frames, frame rate, audio, time to running, exit code\n"
    "The host's system, save, assets and playlist folders are made in\n"
    "DIR/host-dirs (and removed again when they stay empty).\n"
    "\n"
    "options:\n"
    "  --host PATH          kalmo-host to run (default: " KALMO_DEFAULT_HOST ")\n"
    "  --core PATH          the Libretro core library\n"
    "  --content PATH       the content (game) handed to the core\n"
    "  --out DIR            output folder, created if needed; earlier outputs there are replaced\n"
    "  --seconds N          record N seconds after \"running\", then send QUIT (default 5)\n"
    "  --frames N           send QUIT once N frames have arrived (with --seconds: whichever first)\n"
    "  --input SCRIPT       command lines to send, one per line:\n"
    "                         at frame N: COMMAND   once N frames have arrived (0: at \"running\")\n"
    "                         at T s: COMMAND       T seconds after \"running\" (\"at 1.5s:\" too)\n"
    "                       COMMAND is a host command line: QUIT, RESET,\n"
    "                       M dx dy buttons wheel px py inside, K keycode down char mods\n"
    "  --png-every N        write frames N, 2N, 3N... as PNG\n"
    "  --png-frames LIST    write these frames as PNG: numbers, \"first\", \"last\", comma-separated\n"
    "                       (default when neither option is given: first,last)\n"
    "  --sheet-frames N     thumbnails on the contact sheet (default 12)\n"
    "  --sheet-columns N    columns of the contact sheet (default 4)\n"
    "  --save-stream        also keep the protocol output, every whole packet, as stream.kalmo\n"
    "  --start-timeout S    give up if \"running\" has not come after S seconds (default 30)\n"
    "  --quit-timeout S     kill the host if it has not exited S seconds after QUIT (default 5)\n"
    "  --quiet              no progress line and no summary on the terminal\n"
    "  --help               this text\n"
    "\n"
    "exit status: 0 the run went well; 2 bad arguments or a missing host, core,\n"
    "content or script; 3 the host failed, died or had to be killed (the output\n"
    "so far is kept and the summary says what happened); 4 outputs could not be written.\n";

struct Options {
    std::string host = KALMO_DEFAULT_HOST;
    std::string core, content, out, input_script;
    double seconds = 0;
    uint64_t frames = 0;
    RecordingOutputs outputs;
    bool png_chosen = false;
    double start_timeout = 30, quit_timeout = 5;
    bool quiet = false;
};

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

[[noreturn]] void fail_usage(const std::string &message) {
    std::fprintf(stderr, "kalmo-record: %s\n(kalmo-record --help tells the options)\n", message.c_str());
    std::exit(kUsage);
}

double parse_positive(const std::string &option, const char *text) {
    char *end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != 0 || !(value > 0)) fail_usage(option + " needs a positive number, not \"" + text + "\"");
    return value;
}

uint64_t parse_count(const std::string &option, const char *text) {
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != 0 || value == 0 || text[0] == '-')
        fail_usage(option + " needs a whole number above 0, not \"" + text + "\"");
    return value;
}

void parse_png_frames(const std::string &list, RecordingOutputs &outputs) {
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item == "first")
            outputs.png_first = true;
        else if (item == "last")
            outputs.png_last = true;
        else
            outputs.png_frames.insert(parse_count("--png-frames", item.c_str()));
    }
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(usage, stdout);
            std::exit(kOk);
        }
        if (option == "--save-stream") {
            options.outputs.save_stream = true;
            continue;
        }
        if (option == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (i + 1 >= argc) fail_usage("unknown option or missing value: " + option);
        const char *value = argv[++i];
        if (option == "--host") options.host = value;
        else if (option == "--core") options.core = value;
        else if (option == "--content") options.content = value;
        else if (option == "--out") options.out = value;
        else if (option == "--input") options.input_script = value;
        else if (option == "--seconds") options.seconds = parse_positive(option, value);
        else if (option == "--frames") options.frames = parse_count(option, value);
        else if (option == "--png-every") options.outputs.png_every = parse_count(option, value), options.png_chosen = true;
        else if (option == "--png-frames") parse_png_frames(value, options.outputs), options.png_chosen = true;
        else if (option == "--sheet-frames") options.outputs.sheet_frames = parse_count(option, value);
        else if (option == "--sheet-columns") options.outputs.sheet_columns = int(parse_count(option, value));
        else if (option == "--start-timeout") options.start_timeout = parse_positive(option, value);
        else if (option == "--quit-timeout") options.quit_timeout = parse_positive(option, value);
        else fail_usage("unknown option: " + option);
    }
    if (options.core.empty() || options.content.empty() || options.out.empty())
        fail_usage("--core, --content and --out are required");
    if (options.seconds == 0 && options.frames == 0) options.seconds = 5;
    if (!options.png_chosen) options.outputs.png_first = options.outputs.png_last = true;
    options.outputs.folder = options.out;
    return options;
}

void require_file(const char *what, const std::string &path, bool executable) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "kalmo-record: %s not found: %s\n", what, path.c_str());
        std::exit(kUsage);
    }
    if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "kalmo-record: %s is a folder, not a file: %s\n", what, path.c_str());
        std::exit(kUsage);
    }
    if (executable && access(path.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "kalmo-record: %s is not executable: %s\n", what, path.c_str());
        std::exit(kUsage);
    }
}

std::vector<ScriptLine> read_script(const std::string &path) {
    std::vector<ScriptLine> lines;
    if (path.empty()) return lines;
    require_file("input script", path, false);
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    if (!parse_input_script(text.str(), lines, error)) {
        std::fprintf(stderr, "kalmo-record: input script %s: %s\n", path.c_str(), error.c_str());
        std::exit(kUsage);
    }
    return lines;
}

// The host's six paths: core, content, then the four folders, made here.
std::array<std::string, 6> make_host_dirs(const Options &options) {
    fs::path base = fs::path(options.out) / "host-dirs";
    std::array<std::string, 6> paths = {options.core,
                                        options.content,
                                        (base / "system").string(),
                                        (base / "save").string(),
                                        (base / "assets").string(),
                                        (base / "playlist").string()};
    std::error_code failure;
    for (size_t folder = 2; folder < paths.size(); folder++) {
        const std::string &dir = paths[folder];
        fs::create_directories(dir, failure);
        if (failure) {
            std::fprintf(stderr, "kalmo-record: cannot create %s: %s\n", dir.c_str(), failure.message().c_str());
            std::exit(kOutputFailed);
        }
    }
    return paths;
}

void remove_empty_host_dirs(const Options &options) {
    fs::path base = fs::path(options.out) / "host-dirs";
    std::error_code failure;
    for (const char *name : {"system", "save", "assets", "playlist"})
        if (fs::is_empty(base / name, failure)) fs::remove(base / name, failure);
    if (fs::is_empty(base, failure)) fs::remove(base, failure);
}

class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}
    void show(const Recording &recording, const RunSummary &summary, double now, double limit_seconds) {
        if (!enabled_ || now - shown_at_ < 0.25) return;
        shown_at_ = now;
        double running_for = recording.running() ? now - recording.running_since() : 0;
        double fps = 0;
        if (running_for > 0.5) fps = double(recording.frames()) / running_for;
        std::fprintf(stderr, "\r\033[Kkalmo-record: %-8s frame %llu  %.1f fps  audio %.2f s  %.1f", 
                     recording.state().empty() ? "starting" : recording.state().c_str(),
                     (unsigned long long)recording.frames(), fps,
                     summary.sample_rates.empty() ? 0.0 : double(summary.audio_frames) / summary.sample_rates.back(),
                     running_for);
        if (limit_seconds > 0) std::fprintf(stderr, "/%.1f", limit_seconds);
        std::fprintf(stderr, " s");
        std::fflush(stderr);
        shown_any_ = true;
    }
    void end() {
        if (enabled_ && shown_any_) std::fprintf(stderr, "\r\033[K");
    }

private:
    bool enabled_;
    bool shown_any_ = false;
    double shown_at_ = -1;
};

// Says what happened, from how the host ended and what its stream held.
void judge_run(RunSummary &summary, const Options &options) {
    std::string exit_text;
    if (summary.exit_code) exit_text = "exit code " + std::to_string(*summary.exit_code);
    if (summary.exit_signal) exit_text = "signal " + std::to_string(*summary.exit_signal);
    if (summary.killed_by_recorder) {
        summary.result = "host killed: it had not exited " + std::to_string(int(options.quit_timeout)) +
                         " s after QUIT";
    } else if (summary.exit_signal) {
        summary.result = "host died mid-stream (killed by signal " + std::to_string(*summary.exit_signal) + ")";
    } else if (summary.exit_code && *summary.exit_code != 0 && !summary.error_message.empty()) {
        summary.result = "host failed: " + summary.error_message + " (" + exit_text + ")";
    } else if (summary.exit_code && *summary.exit_code != 0) {
        summary.result = "host died mid-stream (" + exit_text + ", no error message)";
    } else if (summary.partial_packet_bytes > 0 || !summary.stream_error.empty()) {
        summary.result = "host died mid-stream (" + summary.stream_error + ")";
    } else if (!summary.saw_stopped) {
        summary.result = "host died mid-stream (" + exit_text + " without the \"stopped\" message)";
    } else if (!summary.saw_running) {
        summary.result = "host stopped before \"running\"";
    } else {
        return;
    }
    summary.ok = false;
    if (!summary.stream_error.empty() && summary.result.find(summary.stream_error) == std::string::npos)
        summary.notes.push_back("stream: " + summary.stream_error);
    summary.notes.push_back("the output written so far is kept");
}

// Drives one host run: the host's streams go into the recording, the
// script's lines go to the host when due, QUIT goes when a limit is reached
// (or on Ctrl+C), and a host that does not stop after QUIT is killed.
class HostRun {
public:
    HostRun(const Options &options, Recording &recording, RunSummary &summary, ScriptPlayer &script)
        : options_(options), recording_(recording), summary_(summary), script_(script),
          started_(std::chrono::steady_clock::now()) {}

    bool start(const std::array<std::string, 6> &paths, std::string &error) {
        client::SessionConfig config;
        config.host_program = options_.host;
        config.paths = paths;
        host_ = client::HostSession::start(config, error);
        return host_ != nullptr;
    }

    // Returns once the host has ended and its last event was taken.
    client::HostEnd run() {
        Progress progress(!options_.quiet && isatty(STDERR_FILENO));
        client::Event event;
        for (;;) {
            client::EventQueue::Take taken = host_->next_event(event, 10);
            if (taken == client::EventQueue::kEnded) break;
            double t = now();
            if (taken == client::EventQueue::kTaken) take_event(event, t);
            if (!ended_ && quit_at_ < 0) {
                send_due_lines(t);
                check_limits(t);
            }
            if (!ended_ && quit_at_ >= 0 && t - quit_at_ > options_.quit_timeout && !summary_.killed_by_recorder) {
                summary_.killed_by_recorder = true;
                host_->stop(0);
            }
            progress.show(recording_, summary_, t, options_.seconds);
        }
        progress.end();
        return end_;
    }

    double now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

private:
    void take_event(const client::Event &event, double t) {
        switch (event.type) {
        case client::EventType::kStatus: recording_.take_status(event.text, t); break;
        case client::EventType::kVideo: recording_.take_frame(event.width(), event.height(), event.rgba(), t); break;
        case client::EventType::kAudio: recording_.take_audio(event.sample_rate(), event.frames(), event.samples()); break;
        case client::EventType::kDiagnostic: recording_.take_diagnostic_line(event.text); break;
        case client::EventType::kError: {
            // The library names the bytes left of a packet the stream ended in.
            unsigned long long partial = 0;
            std::sscanf(event.text.c_str(), "the packet stream ended inside a packet: %llu", &partial);
            recording_.take_stream_error(event.text, partial);
            break;
        }
        case client::EventType::kExit:
            end_ = event.end;
            ended_ = true;
            break;
        }
    }

    void send_due_lines(double t) {
        double running_for = recording_.running() ? t - recording_.running_since() : -1;
        for (const std::string &command : script_.due(recording_.frames(), running_for)) {
            if (quit_at_ >= 0) break;
            std::string error;
            if (host_->send_line(command, error) == client::SendResult::kInvalid)
                summary_.notes.push_back("script line not sent: " + error);
            summary_.commands_sent++;
            if (command == "QUIT") summary_.quit_sent = true, quit_at_ = t;
        }
    }

    void check_limits(double t) {
        double running_for = recording_.running() ? t - recording_.running_since() : -1;
        if (interrupted) send_quit(t, "interrupted: QUIT sent early");
        if (options_.frames && recording_.frames() >= options_.frames) send_quit(t, nullptr);
        if (options_.seconds > 0 && running_for >= options_.seconds) send_quit(t, nullptr);
        if (!recording_.running() && t > options_.start_timeout)
            send_quit(t, "the host had not reported \"running\" after the start timeout");
    }

    void send_quit(double t, const char *why) {
        if (quit_at_ >= 0) return;
        std::string ignored;
        host_->send_quit(ignored);
        summary_.commands_sent++;
        summary_.quit_sent = true;
        quit_at_ = t;
        if (why) summary_.notes.push_back(why);
    }

    const Options &options_;
    Recording &recording_;
    RunSummary &summary_;
    ScriptPlayer &script_;
    std::unique_ptr<client::HostSession> host_;
    std::chrono::steady_clock::time_point started_;
    double quit_at_ = -1;
    bool ended_ = false;
    client::HostEnd end_;
};

// Writes the summary and says how the run went on the terminal.
int report(const Options &options, RunSummary &summary, const Recording &recording) {
    judge_run(summary, options);
    for (const std::string &problem : recording.output_errors()) summary.notes.push_back("output: " + problem);
    std::string error;
    if (!write_summary_files(options.out, summary, error)) {
        std::fprintf(stderr, "kalmo-record: %s\n", error.c_str());
        return kOutputFailed;
    }
    if (!options.quiet) std::fputs(summary_text(summary).c_str(), stdout);
    if (!summary.ok) {
        std::fprintf(stderr, "kalmo-record: %s; see %s/summary.txt\n", summary.result.c_str(), options.out.c_str());
        return kHostFailed;
    }
    if (!recording.output_errors().empty()) {
        std::fprintf(stderr, "kalmo-record: some outputs could not be written; see %s/summary.txt\n",
                     options.out.c_str());
        return kOutputFailed;
    }
    return kOk;
}

}  // namespace

int main(int argc, char **argv) {
    Options options = parse_options(argc, argv);
    require_file("host", options.host, true);
    require_file("core", options.core, false);
    require_file("content", options.content, false);
    ScriptPlayer script(read_script(options.input_script));

    RunSummary summary;
    summary.host = options.host;
    summary.core = options.core;
    summary.content = options.content;
    Recording recording(options.outputs, summary);
    std::string error;
    if (!recording.open(error)) {
        std::fprintf(stderr, "kalmo-record: %s\n", error.c_str());
        return kOutputFailed;
    }
    std::array<std::string, 6> paths = make_host_dirs(options);
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    HostRun run(options, recording, summary, script);
    if (!run.start(paths, error)) {
        std::fprintf(stderr, "kalmo-record: %s\n", error.c_str());
        remove_empty_host_dirs(options);
        return kHostFailed;
    }
    client::HostEnd end = run.run();
    // The library ends a host by SIGKILL on Linux.
    if (end.kind == client::HostEnd::kCode)
        summary.exit_code = int(end.code);
    else
        summary.exit_signal = end.kind == client::HostEnd::kTerminated ? SIGKILL : int(end.code);
    summary.script_lines_unsent = script.remaining();
    recording.finish(run.now());
    remove_empty_host_dirs(options);
    return report(options, summary, recording);
}
