// A throw-away folder for one probe-core run: a copy of the scenario (the
// content), the system, save, core assets and playlist directories, and the
// record file that the probe writes into the save directory. Removed with
// everything in it when the workspace goes.
#pragma once

#include <string>
#include <vector>

#include "input_script.h"

namespace kalmo_test {

class ProbeWorkspace {
public:
    // `folder_suffix` is appended to every folder name; a non-ASCII suffix
    // makes every path non-ASCII.
    explicit ProbeWorkspace(const std::string &folder_suffix = "");
    ~ProbeWorkspace();
    ProbeWorkspace(const ProbeWorkspace &) = delete;
    ProbeWorkspace &operator=(const ProbeWorkspace &) = delete;

    const std::string &root() const { return root_; }
    const std::string &system_directory() const { return system_; }
    const std::string &save_directory() const { return save_; }
    const std::string &assets_directory() const { return assets_; }
    const std::string &playlist_directory() const { return playlist_; }

    // Writes a file under the root and returns its path.
    std::string write_file(const std::string &name, const std::string &bytes) const;
    // Copies a file under the root and returns the copy's path.
    std::string copy_in(const std::string &source, const std::string &name) const;

    // The six paths of the host's command line, in order.
    std::vector<std::string> host_arguments(const std::string &core, const std::string &content) const;

    // The probe's record file (the scenarios all say "record probe.rec").
    std::string record_path(const std::string &name = "probe.rec") const;
    std::vector<std::string> record_lines(const std::string &name = "probe.rec") const;

private:
    std::string root_, system_, save_, assets_, playlist_;
};

// Names (without ".scn") of the scenarios in a folder, sorted.
std::vector<std::string> list_scenarios(const std::string &folder);
// The command-input script of a scenario: its "<name>.input" beside it, or
// an empty script when there is none. A malformed file fills `error`.
InputScript load_scenario_input(const std::string &folder, const std::string &name, std::string &error);

}  // namespace kalmo_test
