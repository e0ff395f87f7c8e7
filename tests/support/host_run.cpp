// Running the host and cutting its two streams; see host_run.h.
#include "host_run.h"

#include <fstream>
#include <sstream>

namespace kalmo_test {

HostRun run_host(const RunOptions &options) {
    HostRun run;
    run.process = run_process(options);
    run.stream = kalmo::decode_stream(run.process.out);
    run.diagnostics = split_diagnostic_lines(run.process.err);
    return run;
}

std::vector<std::string> split_diagnostic_lines(const std::string &err) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = err.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(err.substr(start, end - start));
    if (start < err.size()) lines.push_back(err.substr(start));
    return lines;
}

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::vector<std::string> read_lines(const std::string &path) {
    std::string text = read_file(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace kalmo_test
