// Every probe scenario in tests/cores/scenarios, with its *.input, runs to
// its own end on the Linux build with a whole, valid packet stream, so the
// catalogue stays usable by every test that replays it (the Wine parity
// runs among them).
#include <gtest/gtest.h>

#include "scenario_run.h"

using namespace e2e;

namespace {

TEST(ScenarioCatalogue, EveryScenarioAndInputFileRunsToItsEndWithAWholePacketStream) {
    std::vector<std::string> names = kalmo_test::list_scenarios(kScenarioDir);
    ASSERT_GE(names.size(), 20u);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        std::string error;
        kalmo_test::load_scenario_input(kScenarioDir, name, error);
        EXPECT_EQ(error, "");
        ScenarioRun run = run_scenario(name);
        bool refused = name == "refuse_content";
        EXPECT_TRUE(ended_with(run, refused ? 5 : 0));
        EXPECT_TRUE(run.host.process.script_finished);
        ASSERT_FALSE(run.statuses().empty());
        EXPECT_EQ(run.statuses().back(), refused ? kContentRefusedError : kStopped);
        EXPECT_EQ(run.record_with("unknown_action ").size(), 0u);
        std::vector<std::string> calls = run.record_with("call ");
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "call deinit");
    }
}

}  // namespace
