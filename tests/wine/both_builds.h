// One host run on each build, side by side, for the Wine tests: every build
// gets its own probe workspace (so the probe's record files stay apart), the
// same command line shape and the same input script, and both outcomes are
// described for comparison.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "build_comparison.h"
#include "build_runs.h"
#include "probe_workspace.h"

namespace wine_parity {

// Base of every test that starts the Windows build: skips, saying why, when
// wine or the Windows build is not there.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override;
};

struct BothBuilds {
    std::unique_ptr<kalmo_test::ProbeWorkspace> workspace[2];
    BuildRun run[2];
    Outcome outcome[2];

    const Outcome &on_linux() const { return outcome[0]; }
    const Outcome &on_windows() const { return outcome[1]; }
};

// Gives the request for one build, in that build's workspace.
using RequestMaker = std::function<RunRequest(Build, const kalmo_test::ProbeWorkspace &)>;

// Runs the Linux build, then the Windows build; `folder_suffix` names every
// workspace folder (a non-ASCII suffix makes every path non-ASCII).
BothBuilds run_both_builds(const RequestMaker &make, const std::string &folder_suffix = "");

// A probe-core run: the named core of each build, a copy of `content` in
// each workspace, the workspace's directories, and the input script.
RunRequest probe_request(Build build, const kalmo_test::ProbeWorkspace &workspace, const std::string &core,
                         const std::filesystem::path &content, const std::string &input = "");

}  // namespace wine_parity
