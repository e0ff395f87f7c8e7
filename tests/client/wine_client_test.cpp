// kalmo_client.dll under Wine: the Windows build of client_check (a plain C
// parent linked with the DLL) runs the Windows host with the test cores:
// a normal run, each exit code, stop of a host stuck in a long frame, a slow
// reader, a broken stream, paths that need quoting, a host killed from
// outside, and the job object ending the host when the parent is killed.
// Also the DLL's imports and exports. Every test skips when wine or the
// Windows build is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "build_runs.h"
#include "process_runner.h"

namespace client_test {
namespace {

namespace fs = std::filesystem;
using wine_parity::windows_path;

fs::path client_folder() { return wine_parity::windows_build_dir() / "client"; }
fs::path client_check_exe() { return client_folder() / "client_check.exe"; }

std::string read_all(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // The C runtime's text mode ends Windows lines with CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
}

class WineClient : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = wine_parity::windows_build_missing();
        if (missing.empty() && !fs::exists(client_check_exe())) missing = "no " + client_check_exe().string();
        if (!missing.empty()) GTEST_SKIP() << "Wine test skipped: " << missing;
        setenv("WINEDEBUG", "-all", 1);
    }

    // client_check.exe MODE with the Windows host; its output, read from a
    // file because a wineserver this run starts keeps its streams a while.
    std::string run_check(const std::string &mode, const std::string &core, const std::string &content,
                          const std::string &host = windows_path(wine_parity::windows_host())) {
        kalmo_test::RunOptions options;
        options.program = "/bin/sh";
        options.arguments = {"-c", "log=$1; shift; exec \"$@\" </dev/null >\"$log\" 2>&1", "sh",
                             (fs::path(workspace_.root()) / "check.log").string(), "wine",
                             client_check_exe().string(), mode, host, core, content,
                             windows_path(workspace_.root())};
        options.timeout_ms = 60000;
        kalmo_test::ProcessResult result = kalmo_test::run_process(options);
        EXPECT_EQ(result.exit_code, 0) << kalmo_test::describe_end(result);
        return read_all(fs::path(workspace_.root()) / "check.log");
    }

    std::string core(const std::string &name) {
        return windows_path(wine_parity::test_core(wine_parity::Build::kWindows, name));
    }
    std::string scenario_file(const std::string &name, const std::string &text) {
        return windows_path(workspace_.write_file(name, text));
    }

    // client_check.exe MODE under Wine in the background, its output going
    // to background_log(); returns the Linux process of the Wine program.
    pid_t start_in_background(const std::string &mode, const std::string &content) {
        std::string exe = client_check_exe().string(), host = windows_path(wine_parity::windows_host()),
                    probe = core("probe_core"), folder = windows_path(workspace_.root()),
                    log = background_log().string();
        pid_t child = fork();
        if (child == 0) {
            FILE *out = freopen(log.c_str(), "w", stdout);
            (void)out;
            execlp("wine", "wine", exe.c_str(), mode.c_str(), host.c_str(), probe.c_str(), content.c_str(),
                   folder.c_str(), (char *)nullptr);
            _exit(127);
        }
        return child;
    }
    fs::path background_log() const { return fs::path(workspace_.root()) / "background.log"; }

    // The host is the Wine process whose command line names our workspace
    // and the host exe (0 when there is none, or only its zombie).
    pid_t find_host() const {
        std::string marker = windows_path(workspace_.root());
        for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string command = read_all(entry.path() / "cmdline");
            bool zombie = read_all(entry.path() / "stat").find(") Z ") != std::string::npos;
            if (!zombie && command.find(marker) != std::string::npos &&
                command.find("client_check") == std::string::npos &&
                command.find("kalmo-host.exe") != std::string::npos)
                return pid_t(std::stol(name));
        }
        return 0;
    }

    // Waits until the log holds `text` and the host is found.
    pid_t wait_for_host(const std::string &text) const {
        for (int waited = 0; waited < 60000; waited += 50) {
            pid_t host = 0;
            if (read_all(background_log()).find(text) != std::string::npos && (host = find_host()) != 0) return host;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }

    kalmo_test::ProbeWorkspace workspace_;
};

TEST_F(WineClient, ARunQuitsOnRequestAndEachExitCodeComesWithItsMeaning) {
    std::string quit = run_check("quit", core("probe_core"), scenario_file("plain.scn", "[every_frame]\nvideo 1 8 8\n"));
    std::vector<std::string> states = lines_starting(quit, "status ");
    ASSERT_FALSE(states.empty()) << quit;
    EXPECT_EQ(states.front(), "stage");
    EXPECT_EQ(states.back(), "stopped");
    EXPECT_EQ(lines_starting(quit, "exit "),
              std::vector<std::string>{"1 0 exit code 0: the game ended (QUIT or the core's request)"});
    EXPECT_EQ(lines_starting(quit, "end "), std::vector<std::string>{"2"});

    struct Case {
        std::string core, content, exit;
    } cases[] = {
        {windows_path(workspace_.root()) + "\\missing_core.dll", "none", "1 3 exit code 3: the core library does not load"},
        {core("not_a_core"), "none", "1 4 exit code 4: the core lacks a Libretro entry point"},
        {core("probe_core"), windows_path(wine_parity::scenario_dir() / "refuse_content.scn"),
         "1 5 exit code 5: the core refused the content"},
    };
    for (const Case &c : cases) {
        std::string text = run_check("run", c.core, c.content);
        EXPECT_EQ(lines_starting(text, "exit "), std::vector<std::string>{c.exit}) << text;
    }
}

TEST_F(WineClient, StopTerminatesAHostStuckInALongFrame) {
    std::string text = run_check("stop", core("probe_core"),
                                 scenario_file("stuck.scn", "[every_frame]\nvideo 1 8 8\n[frame 2]\nsleep 20000\n"));
    EXPECT_EQ(lines_starting(text, "stop "), std::vector<std::string>{"4 137"}) << text;
    std::vector<std::string> exits = lines_starting(text, "exit ");
    ASSERT_EQ(exits.size(), 1u) << text;
    EXPECT_EQ(exits[0], "4 137 terminated by kalmo-client: it did not stop within 1000 ms of QUIT");
}

// client_check itself stands in for a host whose stream breaks at offset 28.
TEST_F(WineClient, ABrokenStreamEndsTheSessionWithAnErrorNamingItsOffset) {
    std::string text = run_check("run", "broken_stream", "none", windows_path(client_check_exe()));
    EXPECT_EQ(lines_starting(text, "status "), std::vector<std::string>{"running"}) << text;
    EXPECT_EQ(lines_starting(text, "error "),
              std::vector<std::string>{"28 the packet stream is out of step: bad magic at stream offset 28"});
    std::vector<std::string> exits = lines_starting(text, "exit ");
    ASSERT_EQ(exits.size(), 1u) << text;
    EXPECT_EQ(exits[0], "4 137 terminated by kalmo-client: its packet stream was out of step");
}

// client_check stands in for the host again and looks for an inheritable
// handle its parent made just before starting it.
TEST_F(WineClient, TheHostInheritsNoHandleBeyondItsThreePipes) {
    std::string text = run_check("inherit", "handle_check", "none", windows_path(client_check_exe()));
    EXPECT_EQ(lines_starting(text, "status "), (std::vector<std::string>{"handle_not_inherited", "stopped"})) << text;
}

TEST_F(WineClient, ASlowReaderGetsTheNewestFramesAndEverySample) {
    std::string text = run_check("slow", core("probe_core"),
                                 scenario_file("slow.scn", "[every_frame]\nvideo 1 64 48\nbatch 50\n"));
    std::vector<std::string> frames = lines_starting(text, "frames "), dropped = lines_starting(text, "dropped "),
                             audio = lines_starting(text, "audio_frames ");
    ASSERT_EQ(frames.size(), 1u) << text;
    EXPECT_GE(std::stoull(frames[0]), 20u);
    EXPECT_GT(std::stoull(dropped[0]), 0u) << text;
    // Every frame taken or dropped came with its 50 audio frames, none lost;
    // the frames sent after QUIT was read are the only slack.
    uint64_t sent = std::stoull(frames[0]) + std::stoull(dropped[0]);
    EXPECT_GE(std::stoull(audio[0]), (sent - 1) * 50) << text;
    EXPECT_EQ(std::stoull(audio[0]) % 50, 0u) << text;
}

TEST_F(WineClient, PathsWithSpacesQuotesTrailingBackslashesAndNonAsciiReachTheHostUnchanged) {
    for (const std::string content : {std::string(R"(dir with space\sub\\"quoted\" part\\)"),
                                      std::string("C:\\donn\xC3\xA9" "es \xE6\x97\xA5\xE6\x9C\xAC\\"),
                                      std::string("\"\\\\"), std::string("tab\there")}) {
        std::string text = run_check("quit", core("probe_core"), content);
        std::vector<std::string> paths = lines_starting(text, "diagnostic path=");
        EXPECT_EQ(paths, std::vector<std::string>{content}) << text;
    }
}

TEST_F(WineClient, ACoreAndContentInAFolderWithSpacesAndNonAsciiAreFoundAndLoaded) {
    const std::string folder = "dir with space/donn\xC3\xA9" "es \xE6\x97\xA5\xE6\x9C\xAC";
    fs::create_directories(fs::path(workspace_.root()) / folder);
    std::string probe = workspace_.copy_in(wine_parity::test_core(wine_parity::Build::kWindows, "probe_core").string(),
                                           folder + "/probe core.dll");
    std::string content = workspace_.write_file(folder + "/plain run.scn", "[every_frame]\nvideo 1 8 8\n");
    std::string text = run_check("quit", windows_path(probe), windows_path(content));
    EXPECT_EQ(lines_starting(text, "diagnostic path="), std::vector<std::string>{windows_path(content)}) << text;
    EXPECT_EQ(lines_starting(text, "exit "),
              std::vector<std::string>{"1 0 exit code 0: the game ended (QUIT or the core's request)"});
}

TEST_F(WineClient, TheJobObjectEndsTheHostWhenItsParentIsKilled) {
    pid_t parent = start_in_background("hold", scenario_file("hold.scn", "[every_frame]\nvideo 1 8 8\nsleep 5\n"));
    pid_t host = wait_for_host("host_pid ");
    ASSERT_NE(host, 0) << read_all(background_log());
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    bool gone = false;
    for (int waited = 0; waited < 10000 && !gone; waited += 50) {
        gone = find_host() == 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "the host outlived its killed parent";
    if (!gone) kill(host, SIGKILL);
}

// Wine reports a killed Windows process as exit code 0; the missing
// "stopped" message gives it away.
TEST_F(WineClient, AHostKilledFromOutsideEndsTheSessionAndTheExitSaysSo) {
    pid_t parent = start_in_background("run", scenario_file("forever.scn", "[every_frame]\nvideo 1 8 8\nsleep 5\n"));
    pid_t host = wait_for_host("status running");
    ASSERT_NE(host, 0) << read_all(background_log());
    kill(host, SIGKILL);
    int status = -1;
    for (int waited = 0; waited < 20000 && waitpid(parent, &status, WNOHANG) == 0; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (status == -1) kill(parent, SIGKILL), waitpid(parent, nullptr, 0);
    std::string text = read_all(background_log());
    EXPECT_EQ(lines_starting(text, "exit "),
              std::vector<std::string>{"1 0 exit code 0 without the host's \"stopped\" message (ended from outside, "
                                       "or not a kalmo-host)"})
        << text;
    EXPECT_EQ(lines_starting(text, "end "), std::vector<std::string>{"2"});
}

std::string objdump(const fs::path &file) {
    kalmo_test::RunOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", "exec x86_64-w64-mingw32-objdump -p \"$1\"", "sh", file.string()};
    return kalmo_test::run_process(options).out;
}

TEST_F(WineClient, TheDllNeedsOnlyWindowsOwnDllsAndExportsOnlyTheCInterface) {
    std::string headers = objdump(client_folder() / "kalmo_client.dll");
    std::set<std::string> dlls, exports;
    std::smatch match;
    for (std::string rest = headers; std::regex_search(rest, match, std::regex(R"(DLL Name: (\S+))"));
         rest = match.suffix())
        dlls.insert(match[1]);
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll"})) << headers;
    for (std::string rest = headers;
         std::regex_search(rest, match, std::regex(R"(\n\s+\[\s*\d+\] ([A-Za-z_]\w*))"));
         rest = match.suffix())
        exports.insert(match[1]);
    EXPECT_EQ(exports.size(), 14u) << headers;
    for (const std::string &name : exports) EXPECT_EQ(name.rfind("kalmo_client_", 0), 0u) << name;
    EXPECT_TRUE(fs::exists(client_folder() / "libkalmo_client.dll.a"));
    EXPECT_TRUE(fs::exists(client_folder() / "libkalmo_client.a"));
}

}  // namespace
}  // namespace client_test
