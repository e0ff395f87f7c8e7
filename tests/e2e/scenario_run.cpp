// Running a named probe scenario: a fresh workspace, the scenario copied in
// as the content, its *.input as the command input, the record read back.
#include "scenario_run.h"

namespace e2e {

const std::string kHost = KALMO_HOST_PATH;
const std::string kProbeCore = PROBE_CORE_PATH;
const std::string kProbeCoreNoReset = PROBE_CORE_NO_RESET_PATH;
const std::string kNotACore = NOT_A_CORE_PATH;
const std::string kScenarioDir = PROBE_SCENARIO_DIR;

const char kBuildLine[] = "HOST_BUILD=preview12-retromouse-reentry-resync-large-covers";
const char kStartupStage[] = R"({"state":"stage","stage":"startup","message":"Demarrage du moteur KALMO natif..."})";
const char kLoadLibraryStage[] =
    R"({"state":"stage","stage":"load-library","message":"Chargement du core Libretro natif..."})";
const char kBindApiStage[] = R"({"state":"stage","stage":"bind-api","message":"Connexion native a l API Libretro..."})";
const char kSystemInfoStage[] =
    R"({"state":"stage","stage":"system-info","message":"Lecture des informations du core..."})";
const char kCoreInitStage[] = R"({"state":"stage","stage":"core-init","message":"Initialisation native du core..."})";
const char kInputDeviceStage[] =
    R"({"state":"stage","stage":"input-device","message":"Activation des entrees ScummVM..."})";
const char kLoadContentStage[] =
    R"({"state":"stage","stage":"load-content","message":"Detection et chargement du jeu..."})";
const char kRunning[] = R"({"state":"running","message":"Moteur Libretro natif actif"})";
const char kStopped[] = R"({"state":"stopped","message":"Moteur arrete"})";
const char kShutdown[] = R"({"state":"shutdown","message":"ScummVM demande la fermeture"})";
const char kArgumentsError[] = R"({"state":"error","message":"Arguments du moteur KALMO invalides"})";
const char kLibraryError[] = R"({"state":"error","message":"Impossible de charger le core Libretro"})";
const char kExportMissingError[] = R"({"state":"error","message":"Export Libretro manquant"})";
const char kContentRefusedError[] = R"({"state":"error","message":"Le core a refuse le contenu"})";
const char kControllerPortLine[] =
    "CONTROLLER_PORT port=0 device=RETRO_DEVICE_JOYPAD(1) ; CORE_OPTION scummvm_pointer_device=mouse ; "
    "INPUT=RETRO_DEVICE_MOUSE ; REENTRY_SYNC=frontend-relative-delta";

std::vector<std::string> ScenarioRun::record_with(const std::string &prefix) const {
    std::vector<std::string> lines;
    for (const std::string &line : record)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

int ScenarioRun::record_index(const std::string &line) const {
    bool prefix = !line.empty() && line.back() == ' ';
    for (size_t i = 0; i < record.size(); i++)
        if (prefix ? record[i].compare(0, line.size(), line) == 0 : record[i] == line) return int(i);
    return -1;
}

::testing::AssertionResult ended_with(const ScenarioRun &run, int exit_code) {
    const kalmo_test::ProcessResult &process = run.host.process;
    bool ended = process.failure.empty() && !process.timed_out && process.signal == 0;
    if (ended && process.exit_code == exit_code && run.host.stream.error.empty()) return ::testing::AssertionSuccess();
    std::string tail = process.err.size() > 600 ? process.err.substr(process.err.size() - 600) : process.err;
    return ::testing::AssertionFailure() << "expected exit code " << exit_code << "; the host "
                                         << kalmo_test::describe_end(process) << "; stream error \""
                                         << run.host.stream.error << "\"; end of standard error:\n"
                                         << tail;
}

std::string status_packet(const std::string &text) {
    std::string bytes = "KLMP";
    bytes += char(3);
    for (int shift = 0; shift < 32; shift += 8) bytes += char((text.size() >> shift) & 0xFF);
    return bytes + text;
}

int index_of(const std::vector<std::string> &list, const std::string &text) {
    for (size_t i = 0; i < list.size(); i++)
        if (list[i] == text) return int(i);
    return -1;
}

ScenarioRun run_scenario(const std::string &name, const ScenarioOptions &options) {
    ScenarioRun run;
    run.workspace = std::make_unique<kalmo_test::ProbeWorkspace>(options.folder_suffix);
    run.content = run.workspace->copy_in(kScenarioDir + "/" + name + ".scn", name + options.folder_suffix + ".scn");
    std::string core = options.core;
    if (options.copy_core_in) core = run.workspace->copy_in(options.core, "probe-core" + options.folder_suffix + ".so");
    kalmo_test::RunOptions process;
    process.program = kHost;
    process.arguments = run.workspace->host_arguments(core, run.content);
    for (const std::string &extra : options.extra_arguments) process.arguments.push_back(extra);
    process.input = options.input;
    if (options.use_input_file) {
        std::string error;
        kalmo_test::InputScript script = kalmo_test::load_scenario_input(kScenarioDir, name, error);
        if (!script.empty()) process.input = script;
        if (!error.empty()) run.host.process.failure = "bad input file: " + error;
    }
    process.timeout_ms = options.timeout_ms;
    std::string failure = run.host.process.failure;
    run.host = kalmo_test::run_host(process);
    if (!failure.empty()) run.host.process.failure = failure;
    run.record = run.workspace->record_lines();
    return run;
}

}  // namespace e2e
