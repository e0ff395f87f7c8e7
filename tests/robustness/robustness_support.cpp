// The robustness tests' shared pieces; see robustness_support.h.
#include "robustness_support.h"

#include "probe_pattern.h"

namespace robustness {

const std::string kHost = KALMO_HOST_PATH;
const std::string kProbeCore = PROBE_CORE_PATH;
const std::string kFaultCore = FAULT_CORE_PATH;

ScenarioFolder::ScenarioFolder(const std::string &core, const std::string &scenario)
    : workspace(new kalmo_test::ProbeWorkspace()) {
    content = workspace->write_file("scenario.scn", scenario);
    arguments = workspace->host_arguments(core, content);
}

std::vector<std::string> ScenarioFolder::record() const { return workspace->record_lines(); }

static uint32_t widen5(uint32_t c) { return (c << 3) | (c >> 2); }
static uint32_t widen6(uint32_t c) { return (c << 2) | (c >> 4); }

uint32_t expected_rgba(unsigned format, uint32_t x, uint32_t y, uint32_t frame) {
    uint32_t word = probe_pixel_word(x, y, frame);
    uint32_t r, g, b;
    if (format == 1) {
        r = (word >> 16) & 0xff;
        g = (word >> 8) & 0xff;
        b = word & 0xff;
    } else if (format == 2) {
        r = widen5((word >> 11) & 31);
        g = widen6((word >> 5) & 63);
        b = widen5(word & 31);
    } else {
        r = widen5((word >> 10) & 31);
        g = widen5((word >> 5) & 31);
        b = widen5(word & 31);
    }
    return r << 24 | g << 16 | b << 8 | 0xff;
}

std::vector<std::string> lines_with(const std::vector<std::string> &lines, const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &line : lines)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

}  // namespace robustness
