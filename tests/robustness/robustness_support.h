// What the robustness tests share: the programs under test, a workspace
// holding one scenario with the host's six paths for it, and the RGBA the
// host must make of a probe-core pixel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probe_workspace.h"

namespace robustness {

extern const std::string kHost;
extern const std::string kProbeCore;
extern const std::string kFaultCore;

struct ScenarioFolder {
    ScenarioFolder(const std::string &core, const std::string &scenario);
    std::unique_ptr<kalmo_test::ProbeWorkspace> workspace;
    std::string content;
    std::vector<std::string> arguments;  // the host's six paths
    // The probe's record file, cut into lines.
    std::vector<std::string> record() const;
};

// Probe pixel (x, y) of run `frame`, sent in pixel format `format`, as the
// host converts it: 0xRRGGBBAA, as kalmo::VideoFrame::pixel reads it.
uint32_t expected_rgba(unsigned format, uint32_t x, uint32_t y, uint32_t frame);

// Lines of `lines` that begin with `prefix`.
std::vector<std::string> lines_with(const std::vector<std::string> &lines, const std::string &prefix);

}  // namespace robustness
