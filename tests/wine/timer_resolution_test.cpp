// The Windows timer resolution under Wine: a copy of kalmo-host.exe with our
// recording winmm.dll beside it asks for a 1 ms period once and gives it
// back once, and with winmm.dll disabled altogether the host still plays the
// scenario to its end. Either way the Windows build's packets, lines and
// record match the Linux build's, which never asks.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "both_builds.h"
#include "host_run.h"

namespace wine_parity {
namespace {

namespace fs = std::filesystem;

fs::path standin_winmm() { return windows_build_dir() / "tests" / "wine" / "winmm" / "winmm.dll"; }

// Runs the core_shutdown scenario on both builds; the Windows one from a copy
// of the exe in its workspace, with `overrides` and, when asked, the stand-in.
BothBuilds run_with_winmm(const std::string &overrides, bool with_standin, fs::path &record) {
    return run_both_builds([&](Build build, const kalmo_test::ProbeWorkspace &workspace) {
        RunRequest request = probe_request(build, workspace, "probe_core", scenario_dir() / "core_shutdown.scn");
        if (build == Build::kLinux) return request;
        fs::path folder = fs::path(workspace.root()) / "exe";
        fs::create_directories(folder);
        fs::copy_file(windows_host(), folder / "kalmo-host.exe");
        if (with_standin) fs::copy_file(standin_winmm(), folder / "winmm.dll");
        record = fs::path(workspace.root()) / "winmm.calls";
        request.windows_host = folder / "kalmo-host.exe";
        request.windows_environment = {{"WINEDLLOVERRIDES", overrides}, {"KALMO_WINMM_RECORD", windows_path(record)}};
        return request;
    });
}

class WineTimerResolution : public WineTest {
protected:
    void SetUp() override {
        WineTest::SetUp();
        if (!IsSkipped() && !fs::exists(standin_winmm())) GTEST_SKIP() << "no stand-in " << standin_winmm();
    }
};

TEST_F(WineTimerResolution, TheHostAsksWinmmForOneMillisecondOnceAndGivesItBackOnce) {
    fs::path record;
    BothBuilds both = run_with_winmm("winmm=n", true, record);
    expect_same_outcome(both.on_linux(), both.on_windows());
    EXPECT_EQ(both.on_windows().exit_code, 0);
    EXPECT_EQ(kalmo_test::read_file(record.string()), "timeBeginPeriod 1\ntimeEndPeriod 1\n");
}

TEST_F(WineTimerResolution, WithoutAnyWinmmTheHostPlaysToItsEndUnchanged) {
    fs::path record;
    BothBuilds both = run_with_winmm("winmm=", false, record);
    expect_same_outcome(both.on_linux(), both.on_windows());
    EXPECT_EQ(both.on_windows().exit_code, 0);
    EXPECT_FALSE(fs::exists(record)) << "something answered for winmm.dll";
    ASSERT_FALSE(both.on_windows().packets.empty());
    EXPECT_NE(both.on_windows().packets.back().find("\"stopped\""), std::string::npos);
}

}  // namespace
}  // namespace wine_parity
