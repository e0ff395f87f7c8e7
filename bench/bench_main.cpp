// kalmo_bench: measures the host against the floors it is compared with, all
// in one run, and prints figures and ratios side by side. The machine is
// shared and noisy, so only ratios measured in the same run mean anything.
//
//   kalmo_bench [--pacing-seconds=S] [--input-seconds=S] [--view-seconds=S]
//               [--no-wine] [--only=pixels,stream,pacing,input,startup,view,client,timer]
//               [--markdown=FILE]
//
// Sections: pixel conversion (Google Benchmark), end-to-end stream
// throughput, pacing, input latency, start-up and footprint, the viewer's
// sound after a silence, the parent library's cost and latency beside the
// bare decoder, and Windows' timer tick simulated over the run loop.
// --markdown also writes the report to FILE with the command, machine and
// date, keeping what FILE holds from its "## Notes" heading on (where the
// viewer's and the library's sections live).
#include <signal.h>
#include <stdarg.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench.h"
#include "child_process.h"

const char *const nestopia_core = KALMO_NESTOPIA_CORE_PATH;

const bench_programs &programs() {
    static bench_programs found = [] {
        bench_programs p;
        p.host = KALMO_HOST_PATH;
        p.bench_core = KALMO_BENCH_CORE_PATH;
        p.writer = KALMO_MINIMAL_WRITER_PATH;
        p.loader = KALMO_MINIMAL_LOADER_PATH;
        std::string windows = KALMO_WINDOWS_BUILD_DIR;
        if (std::filesystem::exists(windows + "/kalmo-host.exe")) p.windows_host = windows + "/kalmo-host.exe";
        if (std::filesystem::exists(windows + "/bench/kalmo_bench_core.dll"))
            p.windows_bench_core = windows + "/bench/kalmo_bench_core.dll";
        return p;
    }();
    return found;
}

static std::string report_lines;

struct target_line {
    std::string what, figure, target;
    bool met;
};
static std::vector<target_line> targets;

void report(const char *format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    printf("%s\n", line);
    fflush(stdout);
    report_lines += line;
    report_lines += "\n";
}

const std::string &report_text() { return report_lines; }

void report_target(const std::string &what, const std::string &figure, const std::string &target, bool met) {
    targets.push_back({what, figure, target, met});
}

void report_summary() {
    report("Targets (each ratio measured side by side in this run)");
    for (const target_line &t : targets)
        report("  %-5s %-52s %-18s target %s", t.met ? "met" : "BELOW", t.what.c_str(), t.figure.c_str(),
               t.target.c_str());
}

std::vector<run_line> read_run_record(const std::string &path) {
    std::vector<run_line> lines;
    std::ifstream file(path);
    run_line line;
    long long wall, cpu;
    while (file >> wall >> cpu >> line.dx >> line.dy) {
        line.wall_ns = wall;
        line.cpu_ns = cpu;
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> host_command(const std::string &host, const std::string &core, const std::string &content,
                                      const std::string &folder) {
    return {host, core, content, folder, folder, folder, folder};
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t index = (size_t)std::ceil(fraction * (double)values.size()) - (fraction > 0 ? 1 : 0);
    return values[std::min(index, values.size() - 1)];
}

static std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

static std::string today() {
    char text[64];
    time_t now = time(nullptr);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", localtime(&now));
    return text;
}

static void report_machine(const std::string &command) {
    struct utsname system;
    uname(&system);
    report("kalmo-host bench, %s", today().c_str());
    report("command: %s", command.c_str());
    report("machine: %ld processors, %s, %s %s", sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str(), system.sysname,
           system.release);
    report("%s", "");
}

static bool starts_with(const char *text, const char *prefix, const char **rest) {
    size_t length = strlen(prefix);
    if (strncmp(text, prefix, length) != 0) return false;
    *rest = text + length;
    return true;
}

static bool read_options(int argc, char **argv, bench_options &options) {
    for (int i = 1; i < argc; i++) {
        const char *value;
        if (starts_with(argv[i], "--pacing-seconds=", &value))
            options.pacing_seconds = atof(value);
        else if (starts_with(argv[i], "--input-seconds=", &value))
            options.input_seconds = atof(value);
        else if (starts_with(argv[i], "--view-seconds=", &value))
            options.view_seconds = atof(value);
        else if (!strcmp(argv[i], "--no-wine"))
            options.wine = false;
        else if (starts_with(argv[i], "--markdown=", &value))
            options.markdown = value;
        else if (starts_with(argv[i], "--only=", &value)) {
            std::stringstream list(value);
            std::string name;
            while (std::getline(list, name, ',')) options.sections.push_back(name);
        } else {
            fprintf(stderr,
                    "usage: %s [--pacing-seconds=S] [--input-seconds=S] [--view-seconds=S] [--no-wine]\n"
                    "       [--only=pixels,stream,pacing,input,startup,view,client,timer] [--markdown=FILE]\n",
                    argv[0]);
            return false;
        }
    }
    return options.pacing_seconds > 0 && options.input_seconds > 0;
}

static void write_markdown(const bench_options &options) {
    std::string notes;
    {
        std::ifstream old(options.markdown);
        std::stringstream text;
        text << old.rdbuf();
        size_t at = text.str().find("\n## Notes");
        if (at != std::string::npos) notes = text.str().substr(at + 1);
    }
    std::ofstream file(options.markdown);
    file << "# Bench results\n\n"
            "Latest figures of `make bench` (bench/bench_main.cpp says what each section measures).\n"
            "Only ratios measured side by side in the same run are compared.\n\n```\n"
         << report_text() << "```\n";
    if (!notes.empty()) file << "\n" << notes;
}

int main(int argc, char **argv) {
    bench_options options;
    if (!read_options(argc, argv, options)) return 2;
    // A child that ends early must not take the bench with it.
    signal(SIGPIPE, SIG_IGN);
    auto wanted = [&](const char *section) {
        return options.sections.empty() ||
               std::find(options.sections.begin(), options.sections.end(), section) != options.sections.end();
    };
    std::string command = "kalmo_bench";
    for (int i = 1; i < argc; i++) command += std::string(" ") + argv[i];
    report_machine(command);
    if (wanted("pixels")) run_pixel_conversion_bench(options);
    if (wanted("stream")) run_stream_bench(options);
    if (wanted("pacing")) run_pacing_bench(options);
    if (wanted("input")) run_input_latency_bench(options);
    if (wanted("startup")) run_startup_bench(options);
    if (wanted("timer")) run_timer_tick_bench(options);
    if (wanted("client")) run_client_bench(options);
#ifdef KALMO_VIEW_PATH
    if (wanted("view")) run_view_audio_bench(options);
#endif
    report_summary();
    if (!options.markdown.empty()) write_markdown(options);
    return 0;
}
