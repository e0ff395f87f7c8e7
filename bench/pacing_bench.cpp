// Pacing: the bench core at 60, 59.7275 and 50 fps for a set time each
// (--pacing-seconds, 3 by default, 10 for the full measure), recording when
// each retro_run began. Frame i is due i periods after the first run began.
// Figures: the achieved rate against the target, as the slope of a line
// fitted to all start times (first to last alone is shown too, but one late
// wake-up at either end moves it by more than the target over 3 s); the
// median signed offset (start - due) and the 99th percentile of |offset|;
// the drift, mean offset over the last second less that over the first.
// Beside each run, at the same time, a thread here sleeps to the same due
// times with clock_nanosleep and records how late it wakes: the scheduling
// noise of the machine at that moment, the floor any pacing sees.
// The same runs of the Windows build under Wine are reported, not held to
// the targets.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench.h"
#include "child_process.h"

namespace {

struct pacing_figures {
    uint32_t frames = 0;
    double fitted_error_percent = 0, ends_error_percent = 0, median_offset_ms = 0, p99_ms = 0, drift_ms = 0;
    double floor_p99_ms = 0;
};

// Least-squares slope of start time against frame number, in ns per frame.
double fitted_period_ns(const std::vector<run_line> &record) {
    double n = (double)record.size(), mean_i = (n - 1) / 2, mean_t = 0;
    for (const run_line &line : record) mean_t += (double)(line.wall_ns - record[0].wall_ns) / n;
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < record.size(); i++) {
        double di = (double)i - mean_i;
        covariance += di * ((double)(record[i].wall_ns - record[0].wall_ns) - mean_t);
        variance += di * di;
    }
    return covariance / variance;
}

// Sleeps to each due time in turn; returns how late each wake-up was, in ms.
std::vector<double> floor_wakeups(int64_t start_ns, double period_ns, uint32_t frames) {
    std::vector<double> late_ms;
    for (uint32_t i = 0; i < frames; i++) {
        int64_t due = start_ns + (int64_t)((double)i * period_ns);
        struct timespec at = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
        }
        late_ms.push_back((double)(monotonic_ns() - due) / 1e6);
    }
    return late_ms;
}

pacing_figures analyse(const std::vector<run_line> &record, double fps) {
    pacing_figures figures;
    figures.frames = (uint32_t)record.size();
    if (record.size() < 3) return figures;
    double period_ns = 1e9 / fps;
    double first = (double)record.front().wall_ns;
    double elapsed = (double)record.back().wall_ns - first;
    figures.ends_error_percent = ((double)(record.size() - 1) * 1e9 / elapsed / fps - 1.0) * 100.0;
    figures.fitted_error_percent = (period_ns / fitted_period_ns(record) - 1.0) * 100.0;
    std::vector<double> distance_ms, offsets_ms;
    double first_second = 0, last_second = 0;
    size_t in_first = 0, in_last = 0;
    for (size_t i = 0; i < record.size(); i++) {
        double since = (double)record[i].wall_ns - first;
        double offset_ms = (since - (double)i * period_ns) / 1e6;
        distance_ms.push_back(std::fabs(offset_ms));
        offsets_ms.push_back(offset_ms);
        if (since < 1e9) first_second += offset_ms, in_first++;
        if (since > elapsed - 1e9) last_second += offset_ms, in_last++;
    }
    figures.p99_ms = percentile(distance_ms, 0.99);
    figures.median_offset_ms = median(offsets_ms);
    figures.drift_ms = last_second / (double)in_last - first_second / (double)in_first;
    return figures;
}

std::string windows_path(const std::string &path) {
    std::string converted = "Z:" + path;
    for (char &c : converted)
        if (c == '/') c = '\\';
    return converted;
}

pacing_figures pace(double fps, double seconds, bool under_wine, const scratch_folder &folder) {
    uint32_t frames = (uint32_t)std::lround(fps * seconds) + 1;
    std::string record = folder.file("pacing.record");
    std::string orders = folder.file("pacing.txt");
    char text[512];
    snprintf(text, sizeof text, "width 320\nheight 240\nformat 2\nfps %.4f\nframes %u\nrecord %s\n", fps, frames,
             under_wine ? windows_path(record).c_str() : record.c_str());
    write_text_file(orders, text);
    std::vector<std::string> command =
        under_wine ? std::vector<std::string>{"wine", programs().windows_host, windows_path(programs().windows_bench_core),
                                              windows_path(orders), windows_path(folder.path),
                                              windows_path(folder.path), windows_path(folder.path),
                                              windows_path(folder.path)}
                   : host_command(programs().host, programs().bench_core, orders, folder.path);
    child_process child;
    if (!child.start(command)) return {};
    std::vector<double> floor_late_ms;
    // The host needs a moment to start (Wine, seconds); the floor starts its
    // schedule at once and keeps it for as many periods as the host's run.
    int64_t start_delay_ns = under_wine ? 0 : 20000000;
    std::thread floor([&] { floor_late_ms = floor_wakeups(child.started_ns + start_delay_ns, 1e9 / fps, frames); });
    output_follower output;
    output.drain(child);
    child.finish();
    floor.join();
    pacing_figures figures = analyse(read_run_record(record), fps);
    figures.floor_p99_ms = percentile(floor_late_ms, 0.99);
    std::remove(record.c_str());
    return figures;
}

// One wineserver kept up through the runs, and the prefix ready, so no
// run's figures carry Wine's own start.
bool wine_ready() {
    if (programs().windows_host.empty() || programs().windows_bench_core.empty()) return false;
    setenv("WINEDEBUG", "-all", 1);
    // The wineserver lives on after its starter, so it must not hold our
    // pipes: their ends would never close. Code 2 from wineserver means one
    // is already up, which is all that is needed.
    for (const char *command : {"wineserver -p60", "wineboot -i"}) {
        child_process child;
        if (!child.start({"/bin/sh", "-c", std::string("exec ") + command + " </dev/null >/dev/null 2>&1"}, false))
            return false;
        kalmo::client::ProcessEnd end = child.finish();
        bool already_up = std::string(command).rfind("wineserver", 0) == 0 && end.code == 2;
        if (end.kind != kalmo::client::ProcessEnd::kCode || (end.code != 0 && !already_up)) return false;
    }
    return true;
}

void report_rate(const char *build, double fps, const pacing_figures &f, bool held_to_targets) {
    report("%-12s %8.4f %6u %+9.4f%% %+9.4f%% %+8.3f %8.3f %8.3f %+8.3f", build, fps, f.frames, f.fitted_error_percent,
           f.ends_error_percent, f.median_offset_ms, f.p99_ms, f.floor_p99_ms, f.drift_ms);
    if (!held_to_targets) return;
    char what[64], figure[48];
    snprintf(what, sizeof what, "pacing %.4f fps: rate", fps);
    snprintf(figure, sizeof figure, "%+.4f%%", f.fitted_error_percent);
    report_target(what, figure, "within 0.05%", f.frames > 2 && std::fabs(f.fitted_error_percent) <= 0.05);
    snprintf(what, sizeof what, "pacing %.4f fps: p99 |start - due|", fps);
    snprintf(figure, sizeof figure, "%.3f ms (floor %.3f)", f.p99_ms, f.floor_p99_ms);
    report_target(what, figure, "<= 2 ms", f.frames > 2 && f.p99_ms <= 2.0);
    snprintf(what, sizeof what, "pacing %.4f fps: drift", fps);
    snprintf(figure, sizeof figure, "%+.3f ms", f.drift_ms);
    report_target(what, figure, "|drift| <= 1 ms", f.frames > 2 && std::fabs(f.drift_ms) <= 1.0);
}

}  // namespace

void run_pacing_bench(const bench_options &options) {
    scratch_folder folder;
    const double rates[] = {60.0, 59.7275, 50.0};
    report("Pacing: bench core (320x240 RGB565) for %.1f s per rate; offsets are start - due time", options.pacing_seconds);
    report("%-12s %8s %6s %10s %10s %8s %8s %8s %8s", "build", "fps", "frames", "rate err", "ends err", "median",
           "p99", "floor", "drift");
    report("%-12s %8s %6s %10s %10s %8s %8s %8s %8s", "", "", "", "(fit)", "", "off ms", "|off| ms", "p99 ms", "ms");
    for (double fps : rates) report_rate("linux", fps, pace(fps, options.pacing_seconds, false, folder), true);
    if (!options.wine)
        report("(Windows build under Wine not run: --no-wine)");
    else if (!wine_ready())
        report("(Windows build under Wine not run: wine, kalmo-host.exe or kalmo_bench_core.dll missing)");
    else
        for (double fps : rates) report_rate("windows/wine", fps, pace(fps, options.pacing_seconds, true, folder), false);
    report("%s", "");
}
