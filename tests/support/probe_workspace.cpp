// Temporary folders for probe runs; see probe_workspace.h.
#include "probe_workspace.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host_run.h"

namespace kalmo_test {

namespace fs = std::filesystem;

ProbeWorkspace::ProbeWorkspace(const std::string &folder_suffix) {
    std::string pattern = (fs::temp_directory_path() / "kalmo-probe-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    const char *made = mkdtemp(name.data());
    std::string base = made ? made : pattern;
    root_ = base + "/run" + folder_suffix;
    system_ = root_ + "/system" + folder_suffix;
    save_ = root_ + "/save" + folder_suffix;
    assets_ = root_ + "/assets" + folder_suffix;
    playlist_ = root_ + "/playlists" + folder_suffix;
    for (const std::string *folder : {&root_, &system_, &save_, &assets_, &playlist_}) fs::create_directories(*folder);
}

ProbeWorkspace::~ProbeWorkspace() {
    std::error_code ignored;
    fs::remove_all(fs::path(root_).parent_path(), ignored);
}

std::string ProbeWorkspace::write_file(const std::string &name, const std::string &bytes) const {
    std::string path = root_ + "/" + name;
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

std::string ProbeWorkspace::copy_in(const std::string &source, const std::string &name) const {
    return write_file(name, read_file(source));
}

std::vector<std::string> ProbeWorkspace::host_arguments(const std::string &core, const std::string &content) const {
    return {core, content, system_, save_, assets_, playlist_};
}

std::string ProbeWorkspace::record_path(const std::string &name) const { return save_ + "/" + name; }

std::vector<std::string> ProbeWorkspace::record_lines(const std::string &name) const {
    return read_lines(record_path(name));
}

std::vector<std::string> list_scenarios(const std::string &folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".scn") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

InputScript load_scenario_input(const std::string &folder, const std::string &name, std::string &error) {
    error.clear();
    std::string path = folder + "/" + name + ".input";
    if (!fs::exists(path)) return InputScript();
    return InputScript::parse(read_file(path), error);
}

}  // namespace kalmo_test
