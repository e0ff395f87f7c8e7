// One end-to-end run of the host under valgrind's memcheck, with the probe
// core: start-up, frames in the three pixel formats (one wider than the
// one before, so the row buffer grows), single and batched audio, option,
// log and geometry requests, mouse, key and RESET lines, and QUIT. Any
// memory error, or a block the host lost track of, fails the run.
#include <gtest/gtest.h>

#include <string>

#include "host_run.h"
#include "robustness_support.h"

namespace {

TEST(Valgrind, FullRunWithTheProbeCoreHasNoMemoryError) {
    std::string scenario =
        "record probe.rec\nav 64 48 1.333 120 44100\n"
        "[set_environment]\nvariable scummvm_pointer_device Pointer; mouse|touch\nset_variables\n"
        "[init]\nlog_interface\nkeyboard_callback\nget_variable scummvm_samplerate\n"
        "[every_frame]\npoll\nquery_mouse\nquery_pointer\naudio 300\n"
        "[frame 1]\nvideo 0 32 16\nlog 1 first frame\n"
        "[frame 2]\npixel_format 1\nvideo 1 64 48\nbatch 70000\ngeometry 320 200 1.6\n"
        "[frame 3]\npixel_format 2\nvideo 2 48 48 200\nenv_string 9\nenv_u64 24\nenv_float 50\n";
    for (int run = 4; run <= 40; run++) scenario += "[frame " + std::to_string(run) + "]\nvideo 2 8 8\n";
    robustness::ScenarioFolder folder(robustness::kProbeCore, scenario);
    kalmo_test::RunOptions options;
    options.program = VALGRIND_PATH;
    std::string log = folder.workspace->root() + "/memcheck.log";
    options.arguments = {"--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
                         "--keep-debuginfo=yes", "--suppressions=" CORE_LEAKS_SUPPRESSIONS,
                         "--log-file=" + log, robustness::kHost};
    options.arguments.insert(options.arguments.end(), folder.arguments.begin(), folder.arguments.end());
    options.input.wait_frames(4).line("M 5 -3 1 0 10 20 1").line("K 97 1 97 0").line("RESET").wait_frames(8).line(
        "QUIT");
    options.timeout_ms = 120000;
    kalmo_test::HostRun host = kalmo_test::run_host(options);
    EXPECT_EQ(host.process.exit_code, 0) << kalmo_test::describe_end(host.process) << "\n"
                                         << kalmo_test::read_file(log);
    EXPECT_EQ(host.stream.error, "");
    EXPECT_GE(host.stream.frames.size(), 8u);
    std::vector<std::string> record = folder.record();
    EXPECT_EQ(robustness::lines_with(record, "keyboard ").size(), 1u);
    EXPECT_EQ(robustness::lines_with(record, "call reset ").size(), 1u);
    ASSERT_FALSE(host.stream.statuses.empty());
    EXPECT_EQ(host.stream.statuses.back(), "{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}");
    EXPECT_NE(kalmo_test::read_file(log).find("ERROR SUMMARY: 0 errors"), std::string::npos)
        << kalmo_test::read_file(log);
}

}  // namespace
