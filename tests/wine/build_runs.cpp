// Running either build on one command line; see build_runs.h.
#include "build_runs.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host_run.h"
#include "process_runner.h"

namespace fs = std::filesystem;

namespace wine_parity {

namespace {

void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The wine program found on PATH, or "".
std::string wine_program() {
    const char *path = getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        fs::path candidate = fs::path(folder) / "wine";
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return "";
}

// The text a build is given for an argument; a path also notes the
// substitution that takes it back to its placeholder.
std::string argument_text(Build build, const HostArgument &argument, BuildRun &run) {
    if (argument.path.empty()) return argument.literal;
    std::string text = build == Build::kWindows ? windows_path(argument.path) : argument.path.string();
    run.substitutions.emplace_back(text, argument.placeholder);
    return text;
}

BuildRun run_linux(const RunRequest &request) {
    BuildRun run;
    run.build = Build::kLinux;
    kalmo_test::RunOptions options;
    options.program = linux_host().string();
    for (const HostArgument &argument : request.arguments)
        options.arguments.push_back(argument_text(Build::kLinux, argument, run));
    std::string script_error;
    options.input = kalmo_test::InputScript::parse(request.input, script_error);
    if (!script_error.empty()) {
        run.problem = "input script " + script_error;
        return run;
    }
    options.close_input_at_end = !request.keep_input_open;
    options.timeout_ms = request.timeout_ms;
    kalmo_test::ProcessResult result = kalmo_test::run_process(options);
    run.exit_code = result.exit_code;
    run.out = std::move(result.out);
    run.err = std::move(result.err);
    if (!result.failure.empty() || result.timed_out || result.signal) run.problem = kalmo_test::describe_end(result);
    return run;
}

BuildRun run_windows(const RunRequest &request) {
    BuildRun run;
    run.build = Build::kWindows;
    const fs::path &io = request.io_folder;
    write_file(io / "parent.input", request.input);
    kalmo_test::RunOptions options;
    // Wine's own output goes to a file: a wineserver or Wine service that
    // this run starts keeps its standard streams for seconds after the run.
    options.program = "/bin/sh";
    options.arguments = {"-c", "log=$1; shift; exec \"$@\" </dev/null >\"$log\" 2>&1", "sh",
                         (io / "wine.log").string(), wine_program(), test_parent().string(), "--timeout",
                         std::to_string(request.timeout_ms), "--stdin", windows_path(io / "parent.input")};
    if (request.keep_input_open) options.arguments.push_back("--keep-stdin-open");
    for (const char *file : {"parent.stdout", "parent.stderr", "parent.exit"})
        options.arguments.push_back(windows_path(io / file));
    options.arguments.push_back("--");
    options.arguments.push_back(windows_path(request.windows_host.empty() ? windows_host() : request.windows_host));
    for (const HostArgument &argument : request.arguments)
        options.arguments.push_back(argument_text(Build::kWindows, argument, run));
    // Wine's own traces would land in the host's diagnostic stream, and Wine
    // turns the UTF-8 argument bytes into UTF-16 by the locale's charset.
    setenv("WINEDEBUG", "-all", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    options.close_input_at_end = true;
    options.timeout_ms = request.timeout_ms + 30000;
    for (const auto &variable : request.windows_environment) setenv(variable.first.c_str(), variable.second.c_str(), 1);
    kalmo_test::ProcessResult wine = kalmo_test::run_process(options);
    for (const auto &variable : request.windows_environment) unsetenv(variable.first.c_str());

    std::string exit_text = kalmo_test::read_file((io / "parent.exit").string());
    run.out = kalmo_test::read_file((io / "parent.stdout").string());
    run.err = kalmo_test::read_file((io / "parent.stderr").string());
    if (exit_text == "timeout") {
        run.problem = "the Windows build was still running after the timeout";
    } else if (exit_text.empty() || wine.timed_out || !wine.failure.empty()) {
        run.problem = "wine did not run the test parent: " + kalmo_test::describe_end(wine) + "\nwine's output:\n" +
                      kalmo_test::read_file((io / "wine.log").string());
    } else {
        run.exit_code = std::stoi(exit_text);
    }
    return run;
}

}  // namespace

const char *build_name(Build build) { return build == Build::kLinux ? "Linux build" : "Windows build under Wine"; }

fs::path linux_host() { return KALMO_HOST_PATH; }
fs::path windows_build_dir() { return KALMO_WINDOWS_BUILD_DIR; }
fs::path windows_host() { return windows_build_dir() / "kalmo-host.exe"; }
fs::path test_parent() { return windows_build_dir() / "tools" / "test_parent" / "kalmo-test-parent.exe"; }
fs::path scenario_dir() { return KALMO_SCENARIO_DIR; }

fs::path test_core(Build build, const std::string &name) {
    if (build == Build::kWindows) return windows_build_dir() / "tests" / "cores" / (name + ".dll");
    return fs::path(KALMO_LINUX_CORE_DIR) / (name + ".so");
}

std::string windows_build_missing() {
    if (wine_program().empty()) return "wine is not installed (no wine on PATH)";
    for (const fs::path &needed : {windows_host(), test_parent()})
        if (!fs::exists(needed))
            return "the Windows build is missing: no " + needed.string() +
                   " (build it with `make windows`, or point KALMO_WINDOWS_BUILD_DIR at it)";
    return "";
}

std::string windows_path(const fs::path &path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char &c : text)
        if (c == '/') c = '\\';
    return text;
}

HostArgument literal_argument(const std::string &text) { return HostArgument{text, {}, {}}; }

HostArgument path_argument(const fs::path &path, const std::string &placeholder) {
    return HostArgument{{}, path, placeholder};
}

std::vector<HostArgument> probe_arguments(const kalmo_test::ProbeWorkspace &workspace, const fs::path &core,
                                          const fs::path &content) {
    return {path_argument(core, "<core>"),
            path_argument(content, "<content>"),
            path_argument(workspace.system_directory(), "<system>"),
            path_argument(workspace.save_directory(), "<save>"),
            path_argument(workspace.assets_directory(), "<assets>"),
            path_argument(workspace.playlist_directory(), "<playlists>")};
}

BuildRun run_build(Build build, const RunRequest &request) {
    return build == Build::kLinux ? run_linux(request) : run_windows(request);
}

}  // namespace wine_parity
