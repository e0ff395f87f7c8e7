// A parent killed with SIGKILL takes its host with it: client_check starts a
// session and waits; the test kills it and looks for the host process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "client_run.h"

namespace client_test {
namespace {

// False once the process is gone or only a zombie waiting for its reaper.
bool process_alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, name, state;
    if (!(stat >> pid_field >> name >> state)) return false;
    return state != "Z" && state != "X";
}

TEST(ClientParentDeath, KillingTheParentWithSigkillEndsItsHost) {
    kalmo_test::ProbeWorkspace workspace;
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t parent = fork();
    if (parent == 0) {
        dup2(output[1], 1);
        close(output[0]);
        execl(CLIENT_CHECK_PATH, "client_check", "hold", KALMO_HOST_PATH, DEMO_CORE_PATH, DEMO_CONTENT_PATH,
              workspace.root().c_str(), (char *)nullptr);
        _exit(127);
    }
    close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while (text.find("host_pid ") == std::string::npos || text.back() != '\n') {
        got = read(output[0], buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, size_t(got));
    }
    size_t at = text.find("host_pid ");
    ASSERT_NE(at, std::string::npos) << text;
    pid_t host = pid_t(std::stol(text.substr(at + 9)));
    ASSERT_GT(host, 0);
    EXPECT_TRUE(process_alive(host));

    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    close(output[0]);
    bool gone = false;
    for (int waited = 0; waited < 5000 && !gone; waited += 20) {
        gone = !process_alive(host);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "host " << host << " outlived its parent";
    if (!gone) kill(host, SIGKILL);
}

}  // namespace
}  // namespace client_test
