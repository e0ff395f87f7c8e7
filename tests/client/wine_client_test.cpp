// kalmo_client.dll under Wine: the Windows build of client_check (a plain C
// parent linked with the DLL) runs the Windows host with the test cores:
// a normal run, each exit code, stop of a host stuck in a long frame, a slow
// reader, paths that need quoting, and the job object ending the host when
// the parent is killed. Also the DLL's imports and exports. Every test skips
// when wine or the Windows build is missing. The fake host is a Python
// script, so the broken stream is tested on Linux only.
#include <gtest/gtest.h>
#include <signal.h>
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
                          int timeout_ms = 60000) {
        kalmo_test::RunOptions options;
        options.program = "/bin/sh";
        options.arguments = {"-c", "log=$1; shift; exec \"$@\" </dev/null >\"$log\" 2>&1", "sh",
                             (fs::path(workspace_.root()) / "check.log").string(), "wine",
                             client_check_exe().string(), mode, windows_path(wine_parity::windows_host()),
                             core, content, windows_path(workspace_.root())};
        options.timeout_ms = timeout_ms;
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

TEST_F(WineClient, TheJobObjectEndsTheHostWhenItsParentIsKilled) {
    fs::path log = fs::path(workspace_.root()) / "hold.log";
    std::string marker = windows_path(workspace_.root());
    std::string content = scenario_file("hold.scn", "[every_frame]\nvideo 1 8 8\nsleep 5\n");
    std::string host = windows_path(wine_parity::windows_host()), probe = core("probe_core");
    std::string exe = client_check_exe().string();
    pid_t parent = fork();
    if (parent == 0) {
        FILE *out = freopen(log.c_str(), "w", stdout);
        (void)out;
        execlp("wine", "wine", exe.c_str(), "hold", host.c_str(), probe.c_str(), content.c_str(), marker.c_str(),
               (char *)nullptr);
        _exit(127);
    }
    // The host is the Wine process whose command line names our workspace
    // and the host exe.
    auto find_host = [&]() -> pid_t {
        for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string command = read_all(entry.path() / "cmdline");
            std::string state = read_all(entry.path() / "stat");
            bool zombie = state.find(") Z ") != std::string::npos;
            if (!zombie && command.find(marker) != std::string::npos &&
                command.find("client_check") == std::string::npos && command.find("kalmo-host.exe") != std::string::npos)
                return pid_t(std::stol(name));
        }
        return 0;
    };
    pid_t host_pid = 0;
    for (int waited = 0; waited < 60000; waited += 50) {
        if (read_all(log).find("host_pid ") != std::string::npos && (host_pid = find_host()) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(host_pid, 0) << read_all(log);
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    bool gone = false;
    for (int waited = 0; waited < 10000 && !gone; waited += 50) {
        gone = find_host() == 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "the host outlived its killed parent";
    if (!gone) kill(host_pid, SIGKILL);
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
