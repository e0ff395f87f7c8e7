// kalmo-client's cost and latency, each beside the bare decoder reading the
// same host's pipe in the same run. Both readers start the real host with
// the bench core through the library's own spawner (HostProcess); the bare
// one reads the pipe on the calling thread and feeds StreamDecoder, the
// library's one takes events from a HostSession (reader threads, queue,
// hand-over). Cost: this process's CPU time per frame (every thread of it),
// rounds alternating so drift of the machine hits both alike. Latency: from
// the time the bench core noted as the frame's run began (its record, so it
// also holds the host's conversion and write) to the frame in the parent's
// hands, at a paced 60 frames a second.
//
// Figures are printed and written into their own section of the markdown
// file (<!-- begin client --> ... <!-- end client -->).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench.h"
#include "child_process.h"
#include "host_process.h"
#include "host_session.h"
#include "stream_decoder.h"

namespace {

using kalmo::client::monotonic_ns;

struct reader_figures {
    double cpu_ns_per_frame = 0;
    std::vector<double> latency_ns;
    uint32_t frames = 0;
    bool complete = false;
};

int64_t process_cpu_ns() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000 +
           (int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

std::vector<std::string> bench_core_command(uint32_t width, uint32_t height, double fps, uint32_t frames,
                                            const scratch_folder &folder) {
    char orders[512];
    snprintf(orders, sizeof orders, "width %u\nheight %u\nformat 1\nfps %g\nframes %u\nrecord %s\n", width, height,
             fps, frames, folder.file("client.record").c_str());
    write_text_file(folder.file("client.txt"), orders);
    return host_command(programs().host, programs().bench_core, folder.file("client.txt"), folder.path);
}

// Frame k's latency: when the parent had it, less when its run began.
void add_latencies(const std::vector<int64_t> &taken_ns, const std::string &record_path, reader_figures &figures) {
    std::vector<run_line> record = read_run_record(record_path);
    std::remove(record_path.c_str());
    figures.complete = figures.complete && record.size() == taken_ns.size();
    for (size_t k = 0; k < std::min(record.size(), taken_ns.size()); k++)
        figures.latency_ns.push_back(double(taken_ns[k] - record[k].wall_ns));
}

reader_figures bare_decoder_run(const std::vector<std::string> &command, const scratch_folder &folder) {
    reader_figures figures;
    std::vector<int64_t> taken_ns;
    std::string error;
    int64_t cpu_before = process_cpu_ns();
    {
        std::unique_ptr<kalmo::client::HostProcess> host = kalmo::client::HostProcess::start(command, error);
        if (!host) return figures;
        kalmo::StreamDecoder decoder;
        kalmo::Packet packet;
        std::vector<uint8_t> chunk(1 << 16);
        for (size_t got; (got = host->read_output(chunk.data(), chunk.size())) > 0;) {
            decoder.feed(chunk.data(), got);
            while (decoder.next(packet))
                if (packet.type == kalmo::kVideoPacket) taken_ns.push_back(monotonic_ns());
        }
        figures.complete = host->wait().code == 0 && !decoder.failed();
    }
    figures.frames = uint32_t(taken_ns.size());
    if (figures.frames) figures.cpu_ns_per_frame = double(process_cpu_ns() - cpu_before) / figures.frames;
    add_latencies(taken_ns, folder.file("client.record"), figures);
    return figures;
}

reader_figures library_run(const std::vector<std::string> &command, const scratch_folder &folder) {
    reader_figures figures;
    std::vector<int64_t> taken_ns;
    kalmo::client::SessionConfig config;
    config.host_program = command[0];
    std::copy(command.begin() + 1, command.end(), config.paths.begin());
    std::string error;
    int64_t cpu_before = process_cpu_ns();
    {
        std::unique_ptr<kalmo::client::HostSession> session = kalmo::client::HostSession::start(config, error);
        if (!session) return figures;
        kalmo::client::Event event;
        while (session->next_event(event, -1) == kalmo::client::EventQueue::kTaken) {
            if (event.type == kalmo::client::EventType::kVideo) taken_ns.push_back(monotonic_ns());
            if (event.type == kalmo::client::EventType::kExit) figures.complete = event.end.code == 0;
            if (event.type == kalmo::client::EventType::kError) figures.complete = false;
        }
    }
    figures.frames = uint32_t(taken_ns.size());
    if (figures.frames) figures.cpu_ns_per_frame = double(process_cpu_ns() - cpu_before) / figures.frames;
    add_latencies(taken_ns, folder.file("client.record"), figures);
    return figures;
}

void write_section(const std::string &markdown, const std::string &body) {
    const std::string begin = "<!-- begin client -->", end = "<!-- end client -->";
    std::string text;
    {
        std::ifstream old(markdown);
        std::stringstream whole;
        whole << old.rdbuf();
        text = whole.str();
    }
    std::string section = begin + "\n" + body + end + "\n";
    size_t from = text.find(begin), to = text.find(end);
    if (from != std::string::npos && to != std::string::npos && to > from) {
        size_t after = text.find('\n', to);
        text.replace(from, (after == std::string::npos ? text.size() : after + 1) - from, section);
    } else {
        if (!text.empty() && text.back() != '\n') text += "\n";
        text += "\n" + section;
    }
    std::ofstream(markdown) << text;
}

}  // namespace

void run_client_bench(const bench_options &options) {
    scratch_folder folder;
    std::string body;
    auto say = [&](const char *format, auto... values) {
        char line[512];
        snprintf(line, sizeof line, format, values...);
        printf("%s\n", line);
        body += line;
        body += "\n";
    };
    say("### kalmo-client beside the bare decoder (bench/client_bench.cpp)");
    say("%s", "");
    say("```");
    // The machine is shared: say how busy it was, since the p99 follows it.
    double load = 0;
    if (FILE *loadavg = fopen("/proc/loadavg", "r")) {
        if (fscanf(loadavg, "%lf", &load) != 1) load = 0;
        fclose(loadavg);
    }
    say("load average (1 min) at the start: %.1f on %ld processors", load, sysconf(_SC_NPROCESSORS_ONLN));
    // Cost: 640x480 frames as fast as the host can send them.
    const uint32_t cost_frames = 600;
    std::vector<double> library_cost, bare_cost, ratios;
    bool complete = true;
    for (int round = 0; round < 3; round++) {
        auto command = bench_core_command(640, 480, 100000, cost_frames, folder);
        reader_figures bare = bare_decoder_run(command, folder);
        reader_figures library = library_run(command, folder);
        complete = complete && bare.complete && library.complete && bare.frames == cost_frames &&
                   library.frames == cost_frames;
        bare_cost.push_back(bare.cpu_ns_per_frame);
        library_cost.push_back(library.cpu_ns_per_frame);
        if (bare.cpu_ns_per_frame > 0) ratios.push_back(library.cpu_ns_per_frame / bare.cpu_ns_per_frame);
    }
    double ratio = median(ratios);
    say("parent CPU per 640x480 frame, %u frames unpaced, 3 alternating rounds (median):", cost_frames);
    say("  bare decoder on the pipe   %8.1f us", median(bare_cost) / 1000);
    say("  kalmo-client events        %8.1f us", median(library_cost) / 1000);
    say("  ratio                      %8.2fx   goal <= 1.10x: %s%s", ratio, ratio <= 1.10 ? "met" : "BELOW",
        complete ? "" : "  (a run was incomplete)");
    // Latency: 320x240 at a paced 60 frames a second.
    const uint32_t paced_frames = uint32_t(std::max(30.0, options.input_seconds * 60));
    auto command = bench_core_command(320, 240, 60, paced_frames, folder);
    reader_figures bare = bare_decoder_run(command, folder);
    command = bench_core_command(320, 240, 60, paced_frames, folder);
    reader_figures library = library_run(command, folder);
    say("frame latency, run begins in the host -> frame in the parent's hands, 320x240 at 60 fps, %u frames:",
        paced_frames);
    say("  bare decoder on the pipe   median %7.1f us   p99 %7.1f us%s", median(bare.latency_ns) / 1000,
        percentile(bare.latency_ns, 0.99) / 1000, bare.complete ? "" : "  (incomplete)");
    say("  kalmo-client events        median %7.1f us   p99 %7.1f us%s", median(library.latency_ns) / 1000,
        percentile(library.latency_ns, 0.99) / 1000, library.complete ? "" : "  (incomplete)");
    say("```");
    if (!options.markdown.empty()) write_section(options.markdown, body);
}
