// What the bench's sections share: the options, where the programs are, the
// report every figure is printed through, and the run records the bench core
// and the minimal writer leave behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct bench_options {
    double pacing_seconds = 3.0;  // per rate
    double input_seconds = 3.0;
    double view_seconds = 8.0;    // the viewer's sound: three cycles of sound and rest
    bool wine = true;             // also pace the Windows build under Wine
    std::vector<std::string> sections;  // empty: all
    std::string markdown;               // also write the report here
};

// Programs the bench runs, from the build.
struct bench_programs {
    std::string host, bench_core, writer, loader;
    std::string windows_host, windows_bench_core;  // empty when not built
};
const bench_programs &programs();
extern const char *const nestopia_core;

// Report: printf-style lines on standard output, kept for the markdown file.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
const std::string &report_text();
// A target, printed at once and again in the closing summary.
void report_target(const std::string &what, const std::string &figure, const std::string &target, bool met);
void report_summary();

// One line of a run record: when a frame began, the process's CPU time then,
// and (bench core with mouse orders) the mouse motion its run saw.
struct run_line {
    int64_t wall_ns = 0, cpu_ns = 0;
    int32_t dx = 0, dy = 0;
};
std::vector<run_line> read_run_record(const std::string &path);

// The host's six arguments around a core and its content; the four folders
// all point into `folder`.
std::vector<std::string> host_command(const std::string &host, const std::string &core, const std::string &content,
                                      const std::string &folder);

double median(std::vector<double> values);
double percentile(std::vector<double> values, double fraction);

void run_pixel_conversion_bench(const bench_options &options);
void run_stream_bench(const bench_options &options);
void run_pacing_bench(const bench_options &options);
void run_input_latency_bench(const bench_options &options);
void run_startup_bench(const bench_options &options);
void run_client_bench(const bench_options &options);
// Built when kalmo-view is; writes its own section of the markdown file.
void run_view_audio_bench(const bench_options &options);
