// Describing and comparing the two builds' runs; see build_comparison.h.
#include "build_comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "host_run.h"

namespace wine_parity {

const std::vector<ExceptedLine> kTimingDependentRecordLines = {
    {"time frame=", "the probe's wall-clock reading at each retro_run"},
};

namespace {

std::string fnv1a(const void *bytes, size_t count) {
    uint64_t hash = 14695981039346656037ull;
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    for (size_t i = 0; i < count; i++) hash = (hash ^ p[i]) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string describe_packet(const kalmo::Packet &packet, const BuildRun &run, std::string &error) {
    if (packet.type == kalmo::kStatusPacket) return "status " + replace_paths(kalmo::status_text(packet), run);
    if (packet.type == kalmo::kVideoPacket) {
        kalmo::VideoFrame frame;
        if (!kalmo::decode_video(packet, frame, error)) return "video (undecodable)";
        return "video " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
               " rgba-hash=" + fnv1a(frame.rgba.data(), frame.rgba.size());
    }
    kalmo::AudioBlock block;
    if (!kalmo::decode_audio(packet, block, error)) return "audio (undecodable)";
    return "audio rate=" + std::to_string(block.sample_rate) + " frames=" + std::to_string(block.frames) +
           " samples-hash=" + fnv1a(block.samples.data(), block.samples.size() * 2);
}

bool is_excepted(const std::string &line, const std::vector<ExceptedLine> &excepted) {
    for (const ExceptedLine &rule : excepted)
        if (line.compare(0, rule.prefix.size(), rule.prefix) == 0) return true;
    return false;
}

// Control bytes made visible, long lines shortened, for failure messages.
std::string shown(const std::string &text) {
    std::string out;
    for (unsigned char c : text.substr(0, 300)) {
        char escaped[8];
        if (c < 0x20 || c == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return text.size() > 300 ? out + "... (" + std::to_string(text.size()) + " bytes)" : out;
}

std::string listing(const std::vector<std::string> &items, size_t around) {
    std::string text;
    size_t from = around > 3 ? around - 3 : 0;
    for (size_t i = from; i < items.size() && i < around + 4; i++)
        text += (i == around ? "  > " : "    ") + std::to_string(i) + ": " + shown(items[i]) + "\n";
    return text;
}

void expect_same_list(const char *what, const Outcome &a, const std::vector<std::string> &left, const Outcome &b,
                      const std::vector<std::string> &right) {
    size_t common = std::min(left.size(), right.size());
    size_t first = 0;
    while (first < common && left[first] == right[first]) first++;
    if (first == common && left.size() == right.size()) return;
    ADD_FAILURE() << "The builds' " << what << " differ first at index " << first << " (" << left.size()
                  << " in the " << a.build << ", " << right.size() << " in the " << b.build << ")\n"
                  << a.build << ":\n"
                  << listing(left, first) << b.build << ":\n"
                  << listing(right, first);
}

}  // namespace

std::string replace_paths(std::string text, const BuildRun &run) {
    std::vector<std::pair<std::string, std::string>> substitutions = run.substitutions;
    std::sort(substitutions.begin(), substitutions.end(),
              [](const auto &x, const auto &y) { return x.first.size() > y.first.size(); });
    for (const auto &[path, placeholder] : substitutions) {
        if (path.empty()) continue;
        for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + placeholder.size()))
            text.replace(at, path.size(), placeholder);
    }
    return text;
}

Outcome describe_run(const BuildRun &run, const std::vector<std::string> &record_lines) {
    Outcome outcome;
    outcome.build = build_name(run.build);
    outcome.exit_code = run.exit_code;
    outcome.problem = run.problem;
    outcome.stream = kalmo::decode_stream(run.out);
    if (outcome.problem.empty() && !outcome.stream.error.empty())
        outcome.problem = "the protocol output does not decode: " + outcome.stream.error;
    for (const kalmo::Packet &packet : outcome.stream.packets) {
        std::string error;
        outcome.packets.push_back(describe_packet(packet, run, error));
        if (!error.empty() && outcome.problem.empty()) outcome.problem = error;
    }
    outcome.diagnostic_lines = kalmo_test::split_diagnostic_lines(replace_paths(run.err, run));
    for (const std::string &line : record_lines)
        if (!is_excepted(line, kTimingDependentRecordLines)) outcome.record.push_back(replace_paths(line, run));
    return outcome;
}

void expect_same_outcome(const Outcome &linux_outcome, const Outcome &windows_outcome) {
    EXPECT_EQ(linux_outcome.problem, "") << "in the " << linux_outcome.build;
    EXPECT_EQ(windows_outcome.problem, "") << "in the " << windows_outcome.build;
    EXPECT_EQ(linux_outcome.exit_code, windows_outcome.exit_code)
        << "exit codes of the " << linux_outcome.build << " and the " << windows_outcome.build;
    expect_same_list("packets", linux_outcome, linux_outcome.packets, windows_outcome, windows_outcome.packets);
    expect_same_list("diagnostic lines", linux_outcome, linux_outcome.diagnostic_lines, windows_outcome,
                     windows_outcome.diagnostic_lines);
    expect_same_list("probe records", linux_outcome, linux_outcome.record, windows_outcome, windows_outcome.record);
}

}  // namespace wine_parity
