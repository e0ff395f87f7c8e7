// What a run of the host looks like once the build is taken out of it: the
// exit code, one entry per packet (status texts whole; video frames and
// audio blocks by their headers and a hash of their payload, decoded with
// kalmo_decoder), the diagnostic lines and the probe core's record, with
// every path replaced by its placeholder. Two builds agree when these are
// equal, apart from the lines named as excepted.
#pragma once

#include <string>
#include <vector>

#include "build_runs.h"
#include "stream_decoder.h"

namespace wine_parity {

// Lines that may rightly differ between builds, left out of the comparison.
struct ExceptedLine {
    std::string prefix;
    std::string reason;
};

// The probe writes the wall-clock time of every retro_run into its record.
extern const std::vector<ExceptedLine> kTimingDependentRecordLines;

struct Outcome {
    std::string build;
    int exit_code = -1;
    std::string problem;  // the run went wrong, or its stream did not decode
    std::vector<std::string> packets;
    std::vector<std::string> diagnostic_lines;  // cut at CR LF
    std::vector<std::string> record;            // the probe's record file, when there is one
    kalmo::DecodedStream stream;                // as decoded, paths not replaced
};

Outcome describe_run(const BuildRun &run, const std::vector<std::string> &record_lines = {});

// Replaces each path of the run by its placeholder, longest path first.
std::string replace_paths(std::string text, const BuildRun &run);

// Adds a test failure for each way the two outcomes differ, naming where
// the packets, the diagnostic lines or the records first part.
void expect_same_outcome(const Outcome &linux_outcome, const Outcome &windows_outcome);

}  // namespace wine_parity
