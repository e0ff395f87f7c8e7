// Input latency: this process writes mouse lines at random moments (gaps
// drawn from an exponential law, mean 23 ms) while the bench core runs at
// 60 fps, polling input at the start of each run and reading the mouse.
// A line is due in the first run whose poll began after the line was
// written; the run that first shows it is found from the running sums of dx
// (every dx is positive). The sums of dx and dy must be equal on both sides:
// nothing lost, nothing counted twice.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "bench.h"
#include "child_process.h"

namespace {

struct mouse_line {
    int64_t before_ns, after_ns;
    int32_t dx, dy;
};

void write_line(child_process &child, const mouse_line &line) {
    char text[64];
    int length = snprintf(text, sizeof text, "M %d %d 0 0 0 0 1\n", line.dx, line.dy);
    if (!child.send(std::string(text, (size_t)length))) std::fprintf(stderr, "mouse line: the host no longer reads\n");
}

}  // namespace

void run_input_latency_bench(const bench_options &options) {
    scratch_folder folder;
    uint32_t frames = (uint32_t)(60.0 * options.input_seconds) + 1;
    char orders[512];
    snprintf(orders, sizeof orders, "width 320\nheight 240\nformat 2\nfps 60\nmouse 1\nframes %u\nrecord %s\n", frames,
             folder.file("input.record").c_str());
    write_text_file(folder.file("input.txt"), orders);
    child_process child;
    if (!child.start(host_command(programs().host, programs().bench_core, folder.file("input.txt"), folder.path)))
        return;
    // The host's output is read on a thread of its own, so writing a line
    // never waits for it.
    output_follower output;
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        output.drain(child);
        ended = true;
    });

    std::mt19937 random(2024);
    std::exponential_distribution<double> gap_ms(1.0 / 23.0);
    std::uniform_int_distribution<int32_t> motion(1, 20);
    std::vector<mouse_line> lines;
    // Lines stop well before the last run, so each has a run that must see it.
    int64_t stop_ns = child.started_ns + (int64_t)((options.input_seconds - 0.3) * 1e9);
    int64_t next_ns = child.started_ns + (int64_t)(gap_ms(random) * 1e6);
    while (next_ns < stop_ns && !ended) {
        struct timespec due = {time_t(next_ns / 1000000000), long(next_ns % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        mouse_line line = {monotonic_ns(), 0, motion(random), -motion(random)};
        write_line(child, line);
        line.after_ns = monotonic_ns();
        lines.push_back(line);
        next_ns = line.after_ns + (int64_t)(gap_ms(random) * 1e6);
    }
    reader.join();
    child.finish();
    std::vector<run_line> runs = read_run_record(folder.file("input.record"));

    int64_t sent_dx = 0, sent_dy = 0, seen_dx = 0, seen_dy = 0;
    for (const mouse_line &line : lines) sent_dx += line.dx, sent_dy += line.dy;
    for (const run_line &run : runs) seen_dx += run.dx, seen_dy += run.dy;
    size_t on_time = 0, late = 0, unseen = 0, run = 0, due = 0;
    int64_t running_sum = runs.empty() ? 0 : runs[0].dx, line_sum = 0;
    std::vector<double> delay_ms;
    int worst_lateness = 0;
    for (const mouse_line &line : lines) {
        line_sum += line.dx;
        while (due < runs.size() && runs[due].wall_ns <= line.after_ns) due++;
        while (run + 1 < runs.size() && running_sum < line_sum) running_sum += runs[++run].dx;
        if (running_sum < line_sum || due == runs.size()) {
            unseen++;
            continue;
        }
        int lateness = (int)run - (int)due;
        if (lateness <= 0)
            on_time++;
        else
            late++;
        worst_lateness = std::max(worst_lateness, lateness);
        delay_ms.push_back((double)(runs[run].wall_ns - line.after_ns) / 1e6);
    }
    report("Input latency: %zu mouse lines at random moments into a %u-run, 60 fps session", lines.size(),
           (unsigned)runs.size());
    report("  seen by the first poll after they arrived: %zu; later: %zu (worst %d runs late); never seen: %zu",
           on_time, late, worst_lateness, unseen);
    report("  line written -> start of the run that saw it: median %.2f ms, 99th percentile %.2f ms",
           median(delay_ms), percentile(delay_ms, 0.99));
    report("  sums sent dx %lld dy %lld, seen dx %lld dy %lld: %s", (long long)sent_dx, (long long)sent_dy,
           (long long)seen_dx, (long long)seen_dy, sent_dx == seen_dx && sent_dy == seen_dy ? "equal" : "DIFFERENT");
    report("%s", "");
    char figure[48];
    snprintf(figure, sizeof figure, "%zu of %zu", on_time, lines.size());
    report_target("input: motions seen by the next poll", figure, "all",
                  !lines.empty() && on_time == lines.size());
    report_target("input: sums of deltas equal on both sides", sent_dx == seen_dx && sent_dy == seen_dy ? "equal" : "different",
                  "equal", !lines.empty() && sent_dx == seen_dx && sent_dy == seen_dy);
}
