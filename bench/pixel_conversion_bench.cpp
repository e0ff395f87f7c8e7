// Pixel conversion, measured with Google Benchmark as the host does it: every
// row of a frame converted by convert_row into one row buffer. Beside each
// figure, in the same run: memcpy of the same output bytes (each row's
// width x 4 bytes, from a frame of 4-byte pixels with the same padding),
// the SSE2 form alone, and the scalar definition. Repetitions of all cases
// are interleaved at random and each figure is the best repetition's: on a
// shared machine other work only ever slows a repetition down, so the best
// is the one least disturbed, for every case alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "bench.h"
#include "frame_pattern.h"
#include "host/libretro.h"
#include "video/pixel_conversion.h"

namespace {

struct geometry {
    const char *name;
    uint32_t width, height;
    uint32_t padding_pixels;  // row padding, in pixels of the format
    uint32_t padding_bytes;   // and in bytes, for rows at odd addresses
};

const geometry geometries[] = {
    {"320x240", 320, 240, 0, 0},         {"320x240 pitch 512px", 320, 240, 192, 0},
    {"321x240 odd pitch", 321, 240, 0, 3}, {"640x480", 640, 480, 0, 0},
    {"1920x1080", 1920, 1080, 0, 0},     {"1920x1080 pitch 2048px", 1920, 1080, 128, 0},
    {"1919x1080 odd pitch", 1919, 1080, 0, 3}, {"8192x256", 8192, 256, 0, 0},
};

enum variant { MEMCPY, HOST, SSE2, SCALAR };
const char *const variant_names[] = {"memcpy", "host", "sse2", "scalar"};
const uint32_t formats[] = {RETRO_PIXEL_FORMAT_XRGB8888, RETRO_PIXEL_FORMAT_RGB565, RETRO_PIXEL_FORMAT_0RGB1555};
const char *format_name(uint32_t format) {
    return format == RETRO_PIXEL_FORMAT_XRGB8888 ? "XRGB8888" : format == RETRO_PIXEL_FORMAT_RGB565 ? "RGB565" : "0RGB1555";
}

size_t pitch_of(const geometry &g, uint32_t format) {
    return (size_t)(g.width + g.padding_pixels) * pattern_bytes_per_pixel(format) + g.padding_bytes;
}

// One source frame per geometry and pixel size, made on first use.
const uint8_t *source_frame(const geometry &g, uint32_t format) {
    static std::map<std::string, std::unique_ptr<uint8_t, decltype(&free)>> frames;
    std::string key = std::string(g.name) + (pattern_bytes_per_pixel(format) == 4 ? "/4" : "/2");
    auto found = frames.find(key);
    if (found != frames.end()) return found->second.get();
    size_t pitch = pitch_of(g, format);
    // With 3 bytes of padding, the rows after the first start at every alignment.
    uint8_t *block = (uint8_t *)malloc(pitch * g.height + 64);
    fill_pattern(block, format, g.width, g.height, pitch);
    frames.emplace(key, std::unique_ptr<uint8_t, decltype(&free)>(block, free));
    return block;
}

void scalar_row(uint32_t format, const void *source, uint8_t *rgba, uint32_t width) {
    if (format == RETRO_PIXEL_FORMAT_XRGB8888)
        convert_row_xrgb8888_scalar((const uint8_t *)source, rgba, width);
    else if (format == RETRO_PIXEL_FORMAT_RGB565)
        convert_row_rgb565_scalar((const uint16_t *)source, rgba, width);
    else
        convert_row_0rgb1555_scalar((const uint16_t *)source, rgba, width);
}

void convert_frames(benchmark::State &state, const geometry &g, uint32_t format, variant v) {
    uint32_t source_format = v == MEMCPY ? (uint32_t)RETRO_PIXEL_FORMAT_XRGB8888 : format;
    const uint8_t *frame = source_frame(g, source_format);
    size_t pitch = pitch_of(g, source_format);
    size_t row_size = (size_t)g.width * 4;
    // Like the host's row buffer: one row from the heap, and the same one for
    // every case, since where a row lands against its source moves the
    // figures of memcpy and conversion alike.
    static uint8_t *row_buffer = (uint8_t *)malloc(8192 * 4);
    for (auto _ : state) {
        const uint8_t *row = frame;
        for (uint32_t y = 0; y < g.height; y++, row += pitch) {
            if (v == MEMCPY)
                memcpy(row_buffer, row, row_size);
            else if (v == HOST)
                convert_row(format, row, row_buffer, g.width);
            else if (v == SSE2)
                convert_row_sse2(format, row, row_buffer, g.width);
            else
                scalar_row(format, row, row_buffer, g.width);
            benchmark::DoNotOptimize(row_buffer);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)row_size * g.height);
}

std::string case_name(const geometry &g, uint32_t format, variant v) {
    return std::string(g.name) + "/" + (v == MEMCPY ? "memcpy" : format_name(format)) + "/" + variant_names[v];
}

// Keeps each repetition's throughput; prints nothing itself.
class collecting_reporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            auto counter = run.counters.find("bytes_per_second");
            if (counter != run.counters.end()) rates[run.run_name.function_name].push_back(counter->second.value);
        }
    }
    double best_rate(const std::string &name) const {
        auto found = rates.find(name);
        return found == rates.end() ? 0.0 : *std::max_element(found->second.begin(), found->second.end());
    }
    std::map<std::string, std::vector<double>> rates;
};

}  // namespace

void run_pixel_conversion_bench(const bench_options &) {
    for (const geometry &g : geometries) {
        benchmark::RegisterBenchmark(case_name(g, 0, MEMCPY).c_str(), convert_frames, g, 0, MEMCPY);
        for (uint32_t format : formats)
            for (variant v : {HOST, SSE2, SCALAR})
                benchmark::RegisterBenchmark(case_name(g, format, v).c_str(), convert_frames, g, format, v);
    }
    char program[] = "kalmo_bench";
    char min_time[] = "--benchmark_min_time=0.002";
    char repetitions[] = "--benchmark_repetitions=21";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char *arguments[] = {program, min_time, repetitions, interleave, nullptr};
    int count = 4;
    benchmark::Initialize(&count, arguments);
    collecting_reporter collected;
    benchmark::RunSpecifiedBenchmarks(&collected);

    report("Pixel conversion: output GB/s, rows converted into one row buffer as the host does");
    report("(best of 21 repetitions, all cases interleaved at random; memcpy copies the same");
    report("output bytes per row; host form here: %s)", pixel_conversion_has_avx2() ? "AVX2" : "SSE2");
    report("%-24s %-9s %7s %7s %6s %6s %7s  %s", "frame", "format", "host", "memcpy", "ratio", "sse2", "scalar",
           "target");
    for (uint32_t format : formats) {
        double wanted = format == RETRO_PIXEL_FORMAT_XRGB8888 ? 0.7 : 0.5;
        double worst = 1e9;
        const char *worst_frame = "";
        for (const geometry &g : geometries) {
            double copy = collected.best_rate(case_name(g, 0, MEMCPY));
            double host = collected.best_rate(case_name(g, format, HOST));
            double sse2 = collected.best_rate(case_name(g, format, SSE2));
            double scalar = collected.best_rate(case_name(g, format, SCALAR));
            double ratio = copy > 0 ? host / copy : 0;
            report("%-24s %-9s %7.2f %7.2f %5.2fx %5.2fx %6.3fx  >=%.1fx %s", g.name, format_name(format), host / 1e9,
                   copy / 1e9, ratio, copy > 0 ? sse2 / copy : 0, copy > 0 ? scalar / copy : 0, wanted,
                   ratio >= wanted ? "met" : "BELOW");
            if (ratio < worst) {
                worst = ratio;
                worst_frame = g.name;
            }
        }
        char what[96], figure[32], target[32];
        snprintf(what, sizeof what, "conversion %s, slowest frame (%s)", format_name(format), worst_frame);
        snprintf(figure, sizeof figure, "%.2fx memcpy", worst);
        snprintf(target, sizeof target, ">= %.1fx", wanted);
        report_target(what, figure, target, worst >= wanted);
    }
    report("%s", "");
}
