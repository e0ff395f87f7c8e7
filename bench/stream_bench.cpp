// End-to-end stream throughput: the real kalmo-host running the bench core,
// which presents its frame on every run at a rate of 100000 fps (so the host
// never sleeps), while this process reads and discards the stream. Beside it,
// in the same run and alternating with it, the minimal writer sends the same
// bytes with the same writes and no conversion. Frames per second and CPU per
// frame come from the run records: both programs note the time and their
// process CPU time as each frame begins, so start-up is left out.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "bench.h"
#include "child_process.h"
#include "stream_decoder.h"

namespace {

struct stream_case {
    uint32_t format, width, height;
};

struct stream_figures {
    double fps = 0, cpu_ns_per_frame = 0;
    uint32_t frames = 0;
    bool complete = false;
};

const char *format_name(uint32_t format) { return format == 1 ? "XRGB8888" : format == 2 ? "RGB565" : "0RGB1555"; }

uint64_t frame_bytes(const stream_case &c) { return (uint64_t)c.width * c.height * 4; }

uint32_t frames_for(const stream_case &c, uint64_t stream_bytes, uint32_t most) {
    uint64_t frames = stream_bytes / frame_bytes(c);
    return (uint32_t)std::max<uint64_t>(3, std::min<uint64_t>(frames, most));
}

std::vector<std::string> host_run(const stream_case &c, uint32_t frames, const scratch_folder &folder) {
    char orders[512];
    snprintf(orders, sizeof orders, "width %u\nheight %u\nformat %u\nfps 100000\nframes %u\nrecord %s\n", c.width,
             c.height, c.format, frames, folder.file("host.record").c_str());
    write_text_file(folder.file("stream.txt"), orders);
    return host_command(programs().host, programs().bench_core, folder.file("stream.txt"), folder.path);
}

std::vector<std::string> writer_run(const stream_case &c, uint32_t frames, const scratch_folder &folder) {
    return {programs().writer, std::to_string(c.format), std::to_string(c.width), std::to_string(c.height),
            std::to_string(frames), folder.file("writer.record")};
}

stream_figures measure(const std::vector<std::string> &command, const std::string &record_path, uint32_t frames) {
    stream_figures figures;
    child_process child;
    if (!child.start(command)) return figures;
    output_follower output;
    output.drain(child);
    child.finish();
    std::vector<run_line> record = read_run_record(record_path);
    std::remove(record_path.c_str());
    figures.frames = (uint32_t)record.size();
    figures.complete = record.size() == frames && output.counts.video_packets == frames && !output.counts.broken;
    if (record.size() < 2) return figures;
    double seconds = (double)(record.back().wall_ns - record.front().wall_ns) / 1e9;
    figures.fps = (double)(record.size() - 1) / seconds;
    figures.cpu_ns_per_frame = (double)(record.back().cpu_ns - record.front().cpu_ns) / (double)(record.size() - 1);
    return figures;
}

std::string whole_output(const std::vector<std::string> &command) {
    child_process child;
    std::string bytes;
    if (!child.start(command)) return bytes;
    char buffer[1 << 16];
    for (size_t got; (got = child.read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
    child.finish();
    return bytes;
}

// The floor only means something if it sends what the host sends.
bool same_video_bytes(const stream_case &c, const scratch_folder &folder) {
    kalmo::DecodedStream host = kalmo::decode_stream(whole_output(host_run(c, 2, folder)));
    kalmo::DecodedStream writer = kalmo::decode_stream(whole_output(writer_run(c, 2, folder)));
    if (!host.error.empty() || !writer.error.empty() || host.frames.size() != 2 || writer.frames.size() != 2)
        return false;
    for (size_t i = 0; i < 2; i++) {
        const kalmo::VideoFrame &a = host.frames[i], &b = writer.frames[i];
        if (a.width != b.width || a.height != b.height || a.rgba != b.rgba) return false;
    }
    return true;
}

// The host and the writer in turn, `rounds` times each, so both see the same
// machine; medians of each figure.
struct alternating_medians {
    double host_fps, writer_fps, host_cpu, writer_cpu;
    bool complete;
};

alternating_medians measure_alternating(const stream_case &c, uint32_t frames, const scratch_folder &folder,
                                        int rounds) {
    std::vector<double> host_fps, writer_fps, host_cpu, writer_cpu;
    bool complete = true;
    for (int round = 0; round < rounds; round++) {
        stream_figures host = measure(host_run(c, frames, folder), folder.file("host.record"), frames);
        stream_figures writer = measure(writer_run(c, frames, folder), folder.file("writer.record"), frames);
        complete = complete && host.complete && writer.complete;
        host_fps.push_back(host.fps);
        writer_fps.push_back(writer.fps);
        host_cpu.push_back(host.cpu_ns_per_frame);
        writer_cpu.push_back(writer.cpu_ns_per_frame);
    }
    return {median(host_fps), median(writer_fps), median(host_cpu), median(writer_cpu), complete};
}

void throughput_against_writer(const scratch_folder &folder) {
    const stream_case cases[] = {{1, 640, 480}, {2, 1920, 1080}};
    const int rounds = 5;
    report("End-to-end stream: kalmo-host + bench core at 100000 fps vs the minimal writer (same bytes, same");
    report("writes, no conversion); this process reads and discards. Median of %d alternating rounds;", rounds);
    report("the ratios are host/writer for frames per second, writer/host for CPU per frame.");
    report("%-20s %6s %9s %9s %7s %11s %11s %7s", "frame", "frames", "host fps", "writer", "ratio", "host cpu/f",
           "writer", "ratio");
    for (const stream_case &c : cases) {
        uint32_t frames = frames_for(c, 160ull << 20, 5000);
        bool same = same_video_bytes(c, folder);
        alternating_medians m = measure_alternating(c, frames, folder, rounds);
        double ratio = m.writer_fps > 0 ? m.host_fps / m.writer_fps : 0;
        char name[48];
        snprintf(name, sizeof name, "%ux%u %s", c.width, c.height, format_name(c.format));
        double cpu_ratio = m.host_cpu > 0 ? m.writer_cpu / m.host_cpu : 0;
        report("%-20s %6u %9.1f %9.1f %6.3fx %8.3f ms %8.3f ms %6.3fx%s%s", name, frames, m.host_fps,
               m.writer_fps, ratio, m.host_cpu / 1e6, m.writer_cpu / 1e6, cpu_ratio,
               same ? "" : "  (BYTES DIFFER from the writer's)", m.complete ? "" : "  (INCOMPLETE run)");
        char figure[48];
        snprintf(figure, sizeof figure, "%.3fx writer", ratio);
        report_target(std::string("stream throughput ") + name, figure, ">= 0.85x", ratio >= 0.85 && same && m.complete);
    }
    report("%s", "");
}

void cost_per_pixel(const scratch_folder &folder) {
    const stream_case sizes[] = {{1, 320, 200},   {1, 640, 480},   {1, 1280, 720},
                                 {1, 1920, 1080}, {1, 3840, 2160}, {1, 8192, 8192}};
    const int rounds = 3;
    report("Cost per pixel by frame size (XRGB8888, median of %d alternating rounds): wall and CPU ns per pixel",
           rounds);
    report("%-12s %6s %9s %10s %10s %10s %10s %7s", "frame", "frames", "host fps", "host ns/px", "cpu ns/px",
           "writer", "cpu ns/px", "ratio");
    for (const stream_case &c : sizes) {
        uint32_t frames = frames_for(c, 96ull << 20, 3000);
        alternating_medians m = measure_alternating(c, frames, folder, rounds);
        double pixels = (double)c.width * c.height;
        char name[32];
        snprintf(name, sizeof name, "%ux%u", c.width, c.height);
        report("%-12s %6u %9.1f %10.3f %10.3f %10.3f %10.3f %6.3fx%s", name, frames, m.host_fps,
               m.host_fps > 0 ? 1e9 / m.host_fps / pixels : 0, m.host_cpu / pixels,
               m.writer_fps > 0 ? 1e9 / m.writer_fps / pixels : 0, m.writer_cpu / pixels,
               m.writer_fps > 0 ? m.host_fps / m.writer_fps : 0,
               m.complete ? "" : "  (INCOMPLETE run)");
    }
    report("%s", "");
}

}  // namespace

void run_stream_bench(const bench_options &) {
    scratch_folder folder;
    throughput_against_writer(folder);
    cost_per_pixel(folder);
}
