// One probe scenario run on the Linux build, and the exact texts the host
// sends, shared by the end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_run.h"
#include "probe_workspace.h"

namespace e2e {

extern const std::string kHost;
extern const std::string kProbeCore;
extern const std::string kProbeCoreNoReset;
extern const std::string kNotACore;
extern const std::string kScenarioDir;

struct ScenarioOptions {
    std::string core = kProbeCore;
    std::string folder_suffix;           // non-ASCII here makes every path non-ASCII
    std::vector<std::string> extra_arguments;
    bool use_input_file = true;          // the scenario's *.input, if any
    bool copy_core_in = false;           // load the core from a copy inside the workspace
    kalmo_test::InputScript input;       // used when there is no *.input
    int timeout_ms = 20000;
};

struct ScenarioRun {
    std::unique_ptr<kalmo_test::ProbeWorkspace> workspace;
    std::string content;                 // the scenario copy handed to the host
    kalmo_test::HostRun host;
    std::vector<std::string> record;     // the probe's record file

    int exit_code() const { return host.process.exit_code; }
    const std::vector<std::string> &statuses() const { return host.stream.statuses; }
    const std::vector<std::string> &diagnostics() const { return host.diagnostics; }
    // Record lines that begin with `prefix`.
    std::vector<std::string> record_with(const std::string &prefix) const;
    // Index of the first record line equal to `line` (or beginning with it
    // when it ends with a space), -1 when absent.
    int record_index(const std::string &line) const;
};

ScenarioRun run_scenario(const std::string &name, const ScenarioOptions &options = ScenarioOptions());

// The run ended by itself with `exit_code`, and its output was a run of
// whole, valid packets.
::testing::AssertionResult ended_with(const ScenarioRun &run, int exit_code);

// The bytes of one status packet: header and text.
std::string status_packet(const std::string &text);

// Index of the first element equal to `text`, -1 when absent.
int index_of(const std::vector<std::string> &list, const std::string &text);

// Exact status texts and diagnostic lines.
extern const char kBuildLine[];
extern const char kStartupStage[];
extern const char kLoadLibraryStage[];
extern const char kBindApiStage[];
extern const char kSystemInfoStage[];
extern const char kCoreInitStage[];
extern const char kInputDeviceStage[];
extern const char kLoadContentStage[];
extern const char kRunning[];
extern const char kStopped[];
extern const char kShutdown[];
extern const char kArgumentsError[];
extern const char kLibraryError[];
extern const char kExportMissingError[];
extern const char kContentRefusedError[];
extern const char kControllerPortLine[];

}  // namespace e2e
