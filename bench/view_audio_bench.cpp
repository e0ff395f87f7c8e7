// The viewer's sound after a silence: how late kalmo-view's sound is heard
// when a core starts sending again, beside the reserve its jitter buffer
// aims for. The viewer plays the demo core's sparse sound (800-frame blocks
// at 48000 Hz for 2 s, then no audio at all for 0.5 s, as engine cores send
// it) through SDL's disk audio driver, which pulls at a device's pace, with
// SDL's dummy video driver. With --verbose it reports, for each start of the
// sound, the time from the library reading its first block to the device
// taking that block, plus the device's one pull, and at the end its
// underruns and mean reserve. The figures go into bench/RESULTS.md's own
// "view-audio" section.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "child_process.h"
#include "host_process.h"
#include "results_section.h"

namespace {

constexpr double kTargetMs = 50;
constexpr double kCycleSeconds = 2.5;  // the demo's 2 s of sound and 0.5 s of rest

struct ViewerFigures {
    std::vector<double> starts_ms;  // each start of the sound, the first included
    unsigned long long underruns = 0;
    double reserve_ms = 0, correction_percent = 0;
    bool summary_seen = false;
};

// The viewer's --verbose lines about its sound.
ViewerFigures read_figures(const std::string &log) {
    ViewerFigures figures;
    size_t at = 0;
    while ((at = log.find("kalmo-view: audio", at)) != std::string::npos) {
        const char *line = log.c_str() + at;
        double heard = 0, reserve = 0, correction = 0, ignored = 0;
        unsigned long long underruns = 0, starts = 0;
        if (std::sscanf(line, "kalmo-view: audio starts: heard %lf ms", &heard) == 1)
            figures.starts_ms.push_back(heard);
        if (std::sscanf(line,
                        "kalmo-view: audio: %llu underruns, %llu starts heard %lf ms after their first block on "
                        "average (%lf ms at most), reserve %lf ms on average for a target of %lf ms, rate "
                        "correction %lf",
                        &underruns, &starts, &ignored, &ignored, &reserve, &ignored, &correction) == 7) {
            figures.underruns = underruns;
            figures.reserve_ms = reserve;
            figures.correction_percent = correction;
            figures.summary_seen = true;
        }
        at++;
    }
    return figures;
}

bool run_viewer(double seconds, std::string &log, std::string &error) {
    scratch_folder folder;
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", folder.file("sound.raw").c_str(), 1);
    std::vector<std::string> command = {KALMO_VIEW_PATH,
                                        "--host",
                                        programs().host,
                                        "--core",
                                        DEMO_CORE_PATH,
                                        "--content",
                                        DEMO_SPARSE_CONTENT_PATH,
                                        "--dirs",
                                        folder.path,
                                        "--scale",
                                        "1",
                                        "--no-capture",
                                        "--verbose"};
    std::unique_ptr<kalmo::client::HostProcess> viewer = kalmo::client::HostProcess::start(command, error);
    if (!viewer) return false;
    int64_t pid = viewer->pid();
    // SIGTERM reaches SDL as a quit request: the viewer sends QUIT and then
    // prints its summary.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        kill(pid_t(pid), SIGTERM);
    });
    char chunk[4096];
    for (size_t got; (got = viewer->read_diagnostics(chunk, sizeof chunk)) > 0;) log.append(chunk, got);
    stopper.join();
    viewer->wait();
    return true;
}

}  // namespace

void run_view_audio_bench(const bench_options &options) {
    report("Viewer sound after a silence (kalmo-view, demo core's sparse sound, SDL disk driver, %.0f s)",
           options.view_seconds);
    double seconds = std::max(options.view_seconds, kCycleSeconds + 0.5);
    std::string log, error;
    if (!run_viewer(seconds, log, error)) {
        report("  viewer not started: %s", error.c_str());
        return;
    }
    ViewerFigures figures = read_figures(log);
    if (figures.starts_ms.empty() || !figures.summary_seen) {
        report("  the viewer reported no sound");
        return;
    }
    // The host runs a moment before its first sound, so the rests heard are
    // the whole cycles; the last one may end with the run.
    unsigned rests = unsigned((seconds - 0.3) / kCycleSeconds);
    double median_ms = median(figures.starts_ms), worst_ms = percentile(figures.starts_ms, 1.0);
    report("  first block after a silence until heard: median %.1f ms, worst %.1f ms of %zu starts (target about "
           "%.0f ms, the reserve)",
           median_ms, worst_ms, figures.starts_ms.size(), kTargetMs);
    report("  reserve while playing %.1f ms on average, rate correction %+.2f %%, %llu underruns for %u rests",
           figures.reserve_ms, figures.correction_percent, figures.underruns, rests);
    char figure[64];
    std::snprintf(figure, sizeof figure, "%.1f ms", median_ms);
    report_target("viewer: first block after a silence until heard", figure, "about 50 ms",
                  median_ms < kTargetMs * 1.5);
    report("%s", "");
    if (options.markdown.empty()) return;
    char body[2048];
    std::snprintf(body, sizeof body,
                  "## Viewer sound after a silence\n\n"
                  "`kalmo_bench --only=view` (bench/view_audio_bench.cpp): kalmo-view playing the demo core's\n"
                  "sparse sound (800-frame blocks at 48000 Hz for 2 s, then no audio for 0.5 s) for %.0f s through\n"
                  "SDL's disk driver. \"Heard\" is from the library reading the first block after a silence to\n"
                  "the device taking it, plus the device's 10 ms pull: the reserve built before playback starts.\n\n"
                  "| figure | measured | target |\n"
                  "|---|---|---|\n"
                  "| first block after a silence until heard, median of %zu starts | %.1f ms | about %.0f ms |\n"
                  "| the same, worst start | %.1f ms | |\n"
                  "| reserve while playing, mean | %.1f ms | %.0f ms |\n"
                  "| rate correction at the end | %+.2f %% | within 1 %% |\n"
                  "| underruns | %llu | %u, one per rest of the core (the last may not have come) |\n",
                  seconds, figures.starts_ms.size(), median_ms, kTargetMs, worst_ms, figures.reserve_ms, kTargetMs,
                  figures.correction_percent, figures.underruns, rests);
    if (!write_results_section(options.markdown, "view-audio", body, error)) report("  %s", error.c_str());
}
