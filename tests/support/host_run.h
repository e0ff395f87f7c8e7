// A host run seen the way the parent sees it: the packet stream decoded by
// kalmo_decoder and the diagnostic stream cut into its CR LF lines.
#pragma once

#include <string>
#include <vector>

#include "process_runner.h"
#include "stream_decoder.h"

namespace kalmo_test {

struct HostRun {
    ProcessResult process;
    kalmo::DecodedStream stream;
    std::vector<std::string> diagnostics;
};

HostRun run_host(const RunOptions &options);

// The diagnostic stream cut at each CR LF. Bytes after the last CR LF, if
// any, form a last element of their own, so nothing is lost from view.
std::vector<std::string> split_diagnostic_lines(const std::string &err);

// Whole file, or empty when it cannot be read.
std::string read_file(const std::string &path);
// File cut at each line feed; the bytes after the last one form a last line.
std::vector<std::string> read_lines(const std::string &path);

}  // namespace kalmo_test
