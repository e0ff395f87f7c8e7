// Every probe-core scenario of tests/cores/scenarios on both builds: with the
// same scenario and the same input script, the Windows build under Wine
// sends the same status messages, video frames and audio blocks as the
// Linux build, writes the same diagnostic lines, ends with the same exit
// code, and does the same things to the core (the probe's record, less its
// wall-clock lines).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "both_builds.h"
#include "host_run.h"

namespace wine_parity {
namespace {

std::vector<std::string> scenario_names() {
    if (!std::filesystem::is_directory(scenario_dir())) return {};
    return kalmo_test::list_scenarios(scenario_dir().string());
}

std::string input_script_of(const std::string &name) {
    std::filesystem::path input = scenario_dir() / (name + ".input");
    return std::filesystem::exists(input) ? kalmo_test::read_file(input.string()) : "";
}

class WineScenarioParity : public WineTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(WineScenarioParity, BothBuildsSendTheSameStreamsAndDoTheSameToTheCore) {
    const std::string name = GetParam();
    BothBuilds both = run_both_builds([&](Build build, const kalmo_test::ProbeWorkspace &workspace) {
        return probe_request(build, workspace, "probe_core", scenario_dir() / (name + ".scn"), input_script_of(name));
    });
    expect_same_outcome(both.on_linux(), both.on_windows());
    // A scenario that produced nothing at all would agree trivially.
    EXPECT_FALSE(both.on_linux().packets.empty());
    EXPECT_FALSE(both.on_linux().record.empty()) << "the probe wrote no record on the Linux build";
}

std::string test_name(const ::testing::TestParamInfo<std::string> &info) {
    std::string name = info.param;
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(ProbeScenarios, WineScenarioParity, ::testing::ValuesIn(scenario_names()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WineScenarioParity);

}  // namespace
}  // namespace wine_parity
