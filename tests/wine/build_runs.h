// Running the same host command line on both builds: the Linux build
// directly (tests/support's process runner), the Windows build under Wine
// through kalmo-test-parent.exe. Both play the same input script, in the
// *.input format of tests/support, parsed by the same code.
//
// A command line is a list of arguments, each a literal or a path. A path is
// handed to each build in its own form (Linux as is, Windows as Wine's Z:
// drive path) and carries a placeholder, so that the two builds' outputs can
// be compared once each path has been replaced by its placeholder. Paths
// that must differ (the core library, the probe workspace of each build)
// are given per build.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "probe_workspace.h"

namespace wine_parity {

enum class Build { kLinux, kWindows };
const char *build_name(Build build);

// Why the Windows build cannot be run here ("" when it can): no wine on
// PATH, or no Windows build in KALMO_WINDOWS_BUILD_DIR.
std::string windows_build_missing();

std::filesystem::path linux_host();
std::filesystem::path windows_build_dir();
std::filesystem::path windows_host();
std::filesystem::path test_parent();
// A test core (probe_core, probe_core_no_reset, not_a_core) of either build.
std::filesystem::path test_core(Build build, const std::string &name);
std::filesystem::path scenario_dir();

// The Windows form of an absolute Linux path, through Wine's Z: drive.
std::string windows_path(const std::filesystem::path &path);

struct HostArgument {
    std::string literal;
    std::filesystem::path path;  // used when not empty
    std::string placeholder;     // what the path is replaced by for comparison
};

HostArgument literal_argument(const std::string &text);
HostArgument path_argument(const std::filesystem::path &path, const std::string &placeholder);
// The six paths of a probe run: the core, the content and the workspace's
// four directories, with the placeholders <core>, <content>, <system>,
// <save>, <assets> and <playlists>.
std::vector<HostArgument> probe_arguments(const kalmo_test::ProbeWorkspace &workspace,
                                          const std::filesystem::path &core, const std::filesystem::path &content);

struct RunRequest {
    std::vector<HostArgument> arguments;  // without the program name
    std::string input;                    // input script text
    bool keep_input_open = true;          // until the host ends; otherwise closed after the script
    int timeout_ms = 30000;
    std::filesystem::path io_folder;      // Windows: where the test parent's files go
    std::filesystem::path windows_host;   // Windows: another copy of the exe to run, if set
    // Windows: variables set for Wine and the host during the run only.
    std::vector<std::pair<std::string, std::string>> windows_environment;
};

struct BuildRun {
    Build build = Build::kLinux;
    int exit_code = -1;
    std::string out, err;
    std::string problem;  // the run itself went wrong: timeout, Wine failure
    // Each path as this build was given it, with its placeholder.
    std::vector<std::pair<std::string, std::string>> substitutions;
};

BuildRun run_build(Build build, const RunRequest &request);

}  // namespace wine_parity
