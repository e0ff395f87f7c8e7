// Debian's real Libretro cores (Nestopia, Gambatte, mGBA), each playing the
// cartridge that tools/romgen writes for its system: red screen, blue from
// the cartridge's sixtieth frame on, a 440 Hz square tone throughout. The
// host must bring each core up, pass on its picture and sound at the core's
// own size and rates, trace its requests, and stop cleanly on QUIT.
//
// Each core runs once per test process, for a few seconds; every case of
// that core reads the same run. CMake starts one process per core.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "host_run.h"

namespace {

struct Cartridge {
    const char *name;          // test name suffix
    const char *core;          // file in Debian's libretro folder
    const char *rom;           // file written by romgen
    const char *library_name;  // the core's own name
    const char *av_status;     // the core's base geometry, as the host reports it
    uint32_t width, height;
    double frames_per_second;  // the emulated system's refresh rate
    uint32_t sample_rate;
    // The cartridge's red and blue as the core draws them, 0xRRGGBBAA:
    // Nestopia through its default palette, Gambatte through its colour
    // correction, mGBA as the cartridge wrote them (5 bits widened to 8).
    uint32_t red, blue;
};

const Cartridge kCartridges[] = {
    {"Nestopia", "nestopia_libretro.so", "kalmo_test.nes", "Nestopia",
     R"({"state":"av","width":256,"height":240,"aspect":1.219})", 256, 240, 60.0988, 48000, 0xB53120FF, 0x4240FFFF},
    {"Gambatte", "gambatte_libretro.so", "kalmo_test.gb", "Gambatte", R"({"state":"av","width":160,"height":144})",
     160, 144, 59.7275, 32768, 0xCE0031FF, 0x1041ADFF},
    {"mGBA", "mgba_libretro.so", "kalmo_test.gba", "mGBA", R"({"state":"av","width":240,"height":160,"aspect":1.500})",
     240, 160, 59.7275, 32768, 0xFF0000FF, 0x0000FFFF},
};

// Test names already say which core; this keeps failure reports short.
void PrintTo(const Cartridge &cartridge, std::ostream *out) { *out << cartridge.name; }

// The game runs this long between the "running" message and QUIT; the frames
// counted over it give the frame rate as the parent sees it.
constexpr int kRunMilliseconds = 2500;
constexpr int kTimeoutMilliseconds = 15000;
constexpr int kColourChangeFrame = 60;  // counted by the cartridge itself
constexpr double kToneHertz = 440.0;

std::string core_path(const Cartridge &cartridge) {
    return std::string(KALMO_LIBRETRO_DIR) + "/" + cartridge.core;
}

// The diagnostic stream as the parent reads it: lines end at LF. The host
// ends its own lines with CR LF, but a core's log text that ends with LF
// keeps that ending alone, so cutting at CR LF would join the next line.
struct CoreRun {
    kalmo_test::HostRun host;
    std::vector<std::string> lines;   // without their CR
    std::vector<bool> ended_by_cr_lf;
};

CoreRun cut_lines(kalmo_test::HostRun host) {
    CoreRun run{std::move(host), {}, {}};
    const std::string &text = run.host.process.err;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        bool cr = !line.empty() && line.back() == '\r';
        if (cr) line.pop_back();
        run.lines.push_back(line);
        run.ended_by_cr_lf.push_back(cr && end < text.size());
    }
    return run;
}

const CoreRun &run_of(const Cartridge &cartridge) {
    static std::map<std::string, CoreRun> runs;
    auto found = runs.find(cartridge.name);
    if (found != runs.end()) return found->second;
    std::string folder = std::string(KALMO_SCRATCH_DIR) + "/" + cartridge.name;
    std::filesystem::create_directories(folder);
    kalmo_test::RunOptions options;
    options.program = KALMO_HOST_PATH;
    options.arguments = {core_path(cartridge), std::string(KALMO_ROM_DIR) + "/" + cartridge.rom,
                         folder, folder, folder, folder};
    options.input.wait_status(R"("state":"running")").sleep_ms(kRunMilliseconds).line("QUIT");
    options.timeout_ms = kTimeoutMilliseconds;
    return runs[cartridge.name] = cut_lines(kalmo_test::run_host(options));
}

std::string json_string(const std::string &text, const std::string &key) {
    std::string opening = "\"" + key + "\":\"";
    size_t start = text.find(opening);
    if (start == std::string::npos) return "";
    start += opening.size();
    return text.substr(start, text.find('"', start) - start);
}

std::string hex_colour(uint32_t colour) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", colour);
    return text;
}

size_t pixels_other_than(const kalmo::VideoFrame &frame, uint32_t colour) {
    size_t others = 0;
    for (uint32_t y = 0; y < frame.height; y++)
        for (uint32_t x = 0; x < frame.width; x++) others += frame.pixel(x, y) != colour;
    return others;
}

// Left samples of the blocks, in order.
std::vector<int16_t> left_channel(const std::vector<kalmo::AudioBlock> &blocks) {
    std::vector<int16_t> left;
    for (const kalmo::AudioBlock &block : blocks)
        for (size_t i = 0; i < block.samples.size(); i += 2) left.push_back(block.samples[i]);
    return left;
}

// Periods counted with hysteresis: a rise from a quarter of the swing below
// the mean to a quarter above it, so that ripple near the mean of a
// filtered square wave does not count twice.
double tone_frequency(const std::vector<int16_t> &samples, double sample_rate, int *peak_to_peak) {
    if (samples.empty()) return 0;
    double mean = 0;
    int low = samples[0], high = samples[0];
    for (int16_t sample : samples) {
        mean += sample;
        low = std::min<int>(low, sample);
        high = std::max<int>(high, sample);
    }
    mean /= double(samples.size());
    *peak_to_peak = high - low;
    double threshold = (high - low) / 4.0;
    bool below = false;
    int periods = 0;
    for (int16_t sample : samples) {
        if (sample < mean - threshold) below = true;
        if (below && sample > mean + threshold) {
            periods++;
            below = false;
        }
    }
    return periods * sample_rate / double(samples.size());
}

class RealCoreRun : public testing::TestWithParam<Cartridge> {
protected:
    void SetUp() override {
        const Cartridge &cartridge = GetParam();
        if (!std::filesystem::exists(core_path(cartridge)))
            GTEST_SKIP() << core_path(cartridge) << " is not installed (tools/setup.sh installs it)";
        ASSERT_TRUE(std::filesystem::exists(std::string(KALMO_ROM_DIR) + "/" + cartridge.rom))
            << "the romgen target writes the cartridges";
        run_ = &run_of(cartridge);
        ASSERT_FALSE(process().timed_out) << kalmo_test::describe_end(process());
        ASSERT_TRUE(process().script_finished) << kalmo_test::describe_end(process());
        ASSERT_EQ(run_->host.stream.error, "");
    }

    const std::vector<std::string> &statuses() const { return run_->host.stream.statuses; }
    const std::vector<kalmo::VideoFrame> &frames() const { return run_->host.stream.frames; }
    const std::vector<kalmo::AudioBlock> &audio() const { return run_->host.stream.audio; }
    const std::vector<std::string> &lines() const { return run_->lines; }
    bool ended_by_cr_lf(size_t line) const { return run_->ended_by_cr_lf[line]; }
    const kalmo_test::ProcessResult &process() const { return run_->host.process; }
    const Cartridge &cartridge() const { return GetParam(); }

private:
    const CoreRun *run_ = nullptr;
};

TEST_P(RealCoreRun, NamesTheCoreInTheCoreMessageAndTheSystemInfoBlock) {
    auto begin = std::find(lines().begin(), lines().end(), "SYSTEM_INFO_BEGIN");
    ASSERT_GE(std::distance(begin, lines().end()), 6) << "no whole system-info block";
    EXPECT_EQ(begin[1], std::string("library_name=") + cartridge().library_name);
    ASSERT_EQ(begin[2].rfind("library_version=", 0), 0u) << begin[2];
    EXPECT_EQ(begin[3].rfind("valid_extensions=", 0), 0u) << begin[3];
    EXPECT_EQ(begin[4], "need_fullpath=0 block_extract=0");
    EXPECT_EQ(begin[5], "SYSTEM_INFO_END");

    std::string version = begin[2].substr(std::strlen("library_version="));
    std::string expected = std::string(R"({"state":"core","message":")") + cartridge().library_name +
                           (version.empty() ? "" : " " + version) + " \xC2\xB7 API 1\"}";
    std::vector<std::string> cores;
    for (const std::string &status : statuses())
        if (json_string(status, "state") == "core") cores.push_back(status);
    EXPECT_EQ(cores, std::vector<std::string>{expected});
}

TEST_P(RealCoreRun, GoesThroughTheStagesInOrderAndStopsCleanlyOnQuit) {
    // The core may report its geometry at any time; those messages aside,
    // the order is fixed, and "running" comes right after an "av" message.
    std::vector<std::string> order;
    std::string previous;
    for (const std::string &status : statuses()) {
        std::string state = json_string(status, "state");
        if (state == "running") EXPECT_EQ(previous, "av") << "the message before running";
        previous = state;
        if (state == "stage")
            order.push_back(json_string(status, "stage"));
        else if (state != "geometry" && state != "av")
            order.push_back(state);
    }
    std::vector<std::string> expected = {"startup", "load-library", "bind-api",     "system-info", "core",
                                         "core-init", "load-content", "running", "stopped"};
    EXPECT_EQ(order, expected);
    ASSERT_FALSE(statuses().empty());
    EXPECT_EQ(statuses().back(), R"({"state":"stopped","message":"Moteur arrete"})");

    const std::vector<std::string> stages = {"startup",     "load-library", "bind-api",
                                             "system-info", "core-init",    "load-content"};
    std::vector<std::string> stage_lines;
    for (const std::string &line : lines())
        if (std::find(stages.begin(), stages.end(), line) != stages.end()) stage_lines.push_back(line);
    EXPECT_EQ(stage_lines, stages);
    EXPECT_NE(std::find(lines().begin(), lines().end(), "LOAD_CONTENT_RETURN=1"), lines().end());

    EXPECT_EQ(process().exit_code, 0) << kalmo_test::describe_end(process());
}

TEST_P(RealCoreRun, ReportsTheSystemsGeometryAndSendsEveryFrameAtThatSize) {
    std::string last_av;
    for (const std::string &status : statuses()) {
        if (json_string(status, "state") == "running") break;
        if (json_string(status, "state") == "av") last_av = status;
    }
    EXPECT_EQ(last_av, cartridge().av_status);
    ASSERT_FALSE(frames().empty());
    size_t wrong_size = 0;
    for (const kalmo::VideoFrame &frame : frames())
        wrong_size += frame.width != cartridge().width || frame.height != cartridge().height;
    EXPECT_EQ(wrong_size, 0u) << "of " << frames().size() << " frames";
}

TEST_P(RealCoreRun, SendsFramesAtAboutTheSystemsFrameRate) {
    // Every frame comes after "running", and none after QUIT but the one
    // the core may be drawing when QUIT is read.
    double rate = frames().size() / (kRunMilliseconds / 1000.0);
    EXPECT_NEAR(rate, cartridge().frames_per_second, cartridge().frames_per_second * 0.10)
        << frames().size() << " frames in " << kRunMilliseconds << " ms";
}

TEST_P(RealCoreRun, ShowsRedEarlyThenBlueFromTheCartridgesSixtiethFrameOn) {
    ASSERT_GT(frames().size(), size_t(kColourChangeFrame + 30));
    // Cores differ by a frame or two in when the cartridge's first picture
    // is shown, so only well-settled frames are held to one colour.
    for (int i = 10; i < kColourChangeFrame - 10; i++)
        ASSERT_EQ(pixels_other_than(frames()[i], cartridge().red), 0u)
            << "frame " << i << " pixel (0,0) is " << hex_colour(frames()[i].pixel(0, 0)) << ", red is "
            << hex_colour(cartridge().red);
    size_t first_blue = 0;
    while (first_blue < frames().size() && frames()[first_blue].pixel(0, 0) != cartridge().blue) first_blue++;
    EXPECT_GE(first_blue, size_t(kColourChangeFrame - 5));
    EXPECT_LE(first_blue, size_t(kColourChangeFrame + 10));
    for (size_t i = first_blue; i < frames().size(); i++)
        ASSERT_EQ(pixels_other_than(frames()[i], cartridge().blue), 0u)
            << "frame " << i << " pixel (0,0) is " << hex_colour(frames()[i].pixel(0, 0)) << ", blue is "
            << hex_colour(cartridge().blue);
}

TEST_P(RealCoreRun, SendsAudioAtTheSystemsSampleRateInStepWithTheVideo) {
    ASSERT_FALSE(audio().empty());
    ASSERT_FALSE(frames().empty());
    size_t audio_frames = 0, wrong_rate = 0;
    for (const kalmo::AudioBlock &block : audio()) {
        audio_frames += block.frames;
        wrong_rate += block.sample_rate != cartridge().sample_rate;
    }
    EXPECT_EQ(wrong_rate, 0u) << "of " << audio().size() << " blocks; the first says " << audio().front().sample_rate;
    double per_frame = double(audio_frames) / double(frames().size());
    double expected = cartridge().sample_rate / cartridge().frames_per_second;
    EXPECT_NEAR(per_frame, expected, expected * 0.10) << audio_frames << " audio frames";
}

TEST_P(RealCoreRun, PlaysTheCartridgesToneOfAbout440Hertz) {
    std::vector<int16_t> left = left_channel(audio());
    ASSERT_GT(left.size(), size_t(cartridge().sample_rate));
    // The second half: the tone is steady by then.
    std::vector<int16_t> steady(left.begin() + left.size() / 2, left.end());
    int peak_to_peak = 0;
    double hertz = tone_frequency(steady, cartridge().sample_rate, &peak_to_peak);
    EXPECT_GT(peak_to_peak, 2000) << "the tone is missing or nearly silent";
    EXPECT_NEAR(hertz, kToneHertz, kToneHertz * 0.10);
}

// The trace of each command code counts 1 to 6, then 50, then every 1000th.
uint64_t next_traced_count(uint64_t count) {
    if (count < 6) return count + 1;
    if (count < 50) return 50;
    return (count / 1000 + 1) * 1000;
}

TEST_P(RealCoreRun, WritesEveryEnvLineWellFormedAndInTheTracedCountSequence) {
    static const std::regex env_line(R"(ENV raw=(0|[1-9][0-9]*) cmd=(0|[1-9][0-9]*) count=([1-9][0-9]*) ([A-Z0-9_]+))");
    std::map<uint64_t, uint64_t> last_count;
    std::map<uint64_t, std::string> names;
    int env_lines = 0;
    for (size_t i = 0; i < lines().size(); i++) {
        const std::string &line = lines()[i];
        if (line.rfind("ENV", 0) != 0) continue;
        env_lines++;
        std::smatch field;
        ASSERT_TRUE(std::regex_match(line, field, env_line)) << line;
        EXPECT_TRUE(ended_by_cr_lf(i)) << line;
        EXPECT_LE(line.size(), 75u) << line;
        uint64_t raw = std::stoull(field[1]), code = std::stoull(field[2]), count = std::stoull(field[3]);
        ASSERT_LE(raw, 0xFFFFFFFFu) << line;
        EXPECT_EQ(code, raw & 0xFFFF) << line;
        uint64_t expected = code > 255 ? 1 : next_traced_count(last_count[code]);
        EXPECT_EQ(count, expected) << line;
        last_count[code] = count;
        auto known = names.emplace(code, field[4]).first;
        EXPECT_EQ(known->second, field[4].str()) << "code " << code << " changed its name";
    }
    // Every core asks for options, the log and a pixel format at the least.
    EXPECT_GT(env_lines, 3);
}

TEST_P(RealCoreRun, WritesEveryVarLineWellFormedAndAnswersTheCoresOwnKeysWithNull) {
    static const std::regex var_line(R"(VAR key=([^ \r\n]+) value=([^\r\n]*))");
    bool declaring = false;
    int declared = 0, queried = 0;
    for (size_t i = 0; i < lines().size(); i++) {
        const std::string &line = lines()[i];
        if (line == "CORE_VARIABLES_BEGIN" || line == "CORE_VARIABLES_END") {
            declaring = line == "CORE_VARIABLES_BEGIN";
            continue;
        }
        if (line.rfind("VAR", 0) != 0) continue;
        std::smatch field;
        ASSERT_TRUE(std::regex_match(line, field, var_line)) << line;
        EXPECT_TRUE(ended_by_cr_lf(i)) << line;
        EXPECT_LE(line.size(), 500u) << line.substr(0, 60);
        // These cores describe every option they declare, and ask only for
        // their own keys, none of which the host answers.
        if (declaring) {
            declared++;
            EXPECT_NE(field[2].str(), "<null>") << line;
        } else {
            queried++;
            EXPECT_EQ(field[2].str(), "<null>") << line;
        }
    }
    EXPECT_GT(declared, 0);
    EXPECT_GT(queried, 0);
}

INSTANTIATE_TEST_SUITE_P(DebianCores, RealCoreRun, testing::ValuesIn(kCartridges),
                         [](const testing::TestParamInfo<Cartridge> &info) { return std::string(info.param.name); });

}  // namespace
