// Side-by-side runs of the two builds; see both_builds.h.
#include "both_builds.h"

namespace wine_parity {

void WineTest::SetUp() {
    std::string missing = windows_build_missing();
    if (!missing.empty()) GTEST_SKIP() << "Wine test skipped: " << missing;
}

BothBuilds run_both_builds(const RequestMaker &make, const std::string &folder_suffix) {
    BothBuilds both;
    for (Build build : {Build::kLinux, Build::kWindows}) {
        int i = build == Build::kLinux ? 0 : 1;
        both.workspace[i] = std::make_unique<kalmo_test::ProbeWorkspace>(folder_suffix);
        RunRequest request = make(build, *both.workspace[i]);
        request.io_folder = std::filesystem::path(both.workspace[i]->root()).parent_path();
        both.run[i] = run_build(build, request);
        both.outcome[i] = describe_run(both.run[i], both.workspace[i]->record_lines());
    }
    return both;
}

RunRequest probe_request(Build build, const kalmo_test::ProbeWorkspace &workspace, const std::string &core,
                         const std::filesystem::path &content, const std::string &input) {
    RunRequest request;
    std::filesystem::path core_file = test_core(build, core);
    EXPECT_TRUE(std::filesystem::exists(core_file)) << "no " << core_file << " in the " << build_name(build);
    std::string copy = workspace.copy_in(content.string(), content.filename().string());
    request.arguments = probe_arguments(workspace, core_file, copy);
    request.input = input;
    return request;
}

}  // namespace wine_parity
