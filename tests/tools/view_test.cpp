// kalmo-view on a real (virtual) X display: run under xvfb-run, it shows the
// demo core's picture, its captured mouse moves the demo's cursor as far on
// screen as the hand, a click leaves a mark, a key recolours the scene, and
// a polite end sends QUIT so the host exits with code 0. The probe core,
// named ScummVM, reads the motion the viewer sends in follow mode: replayed
// by the ScummVM cursor rule it keeps the cursor under the pointer across
// turns, exits and entries, and a tapped key and Esc are seen down. A real Debian core (Nestopia, on romgen's
// cartridge) fills a window shaped by its reported aspect. The window is photographed with ImageMagick's
// import and driven with xdotool; the demo draws at twice its size, with
// sharp scaling, so screen pixel (2x, 2y) is frame pixel (x, y). A --scale
// too large for the screen is clamped to it. The demo's sparse sound (runs
// of blocks, then no audio at all), written by SDL's disk audio driver,
// has no gap of silence inside its runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host_run.h"
#include "output_files.h"
#include "pointer_rule.h"
#include "probe_workspace.h"

namespace {

using kalmo_tools_test::Image;

const std::string kViewer = KALMO_VIEW_PATH;
const std::string kHost = KALMO_HOST_PATH;
const std::string kDemoCore = DEMO_CORE_PATH;
const std::string kDemoContent = DEMO_CONTENT_PATH;
const std::string kSparseContent = DEMO_SPARSE_CONTENT_PATH;

std::string tool(const char *variable, const char *fallback) {
    const char *path = std::getenv(variable);
    return path && *path ? path : fallback;
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string run_tool(const std::string &program, const std::vector<std::string> &arguments) {
    kalmo_test::RunOptions options;
    options.program = program;
    options.arguments = arguments;
    options.timeout_ms = 15000;
    kalmo_test::ProcessResult result = kalmo_test::run_process(options);
    return result.exit_code == 0 ? result.out : "";
}

// The viewer as a child process, its stderr in a file; killed if the test
// ends early. `options` replace the default scale and silence; `environment`
// is added to the viewer's.
class Viewer {
public:
    Viewer(const kalmo_test::ProbeWorkspace &workspace, const std::string &core = kDemoCore,
           const std::string &content = kDemoContent,
           const std::vector<std::string> &options = {"--scale", "2", "--no-audio"},
           const std::vector<std::pair<std::string, std::string>> &environment = {})
        : log_(workspace.root() + "/viewer.log") {
        std::vector<std::string> words = {kViewer, "--host", kHost, "--core", core, "--content", content, "--dirs",
                                          workspace.root() + "/dirs"};
        words.insert(words.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            for (const auto &[name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
            int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            std::vector<char *> argv;
            for (std::string &word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(kViewer.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Viewer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string log() const { return kalmo_test::read_file(log_); }
    // SIGTERM reaches SDL as a quit request, like closing the window.
    int close_politely() {
        kill(pid_, SIGTERM);
        int status = 0;
        bool ended = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 15000);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string log_;
    pid_t pid_ = -1;
};

struct Spot {
    int x = -1, y = -1;
};

// Top-left of the cursor's white fill inside the play field (frame rows 20
// to 223), the only pure white there.
Spot cursor_fill(const Image &shot) {
    for (uint32_t y = 40; y < 448 && y < shot.height; y++)
        for (uint32_t x = 0; x < shot.width; x++)
            if (shot.pixel(x, y) == 0xFFFFFFFFu) return Spot{int(x), int(y)};
    return Spot{};
}

std::string find_window(const std::string &xdotool, const Viewer &viewer) {
    std::string window;
    wait_until(
        [&] {
            std::string found = run_tool(xdotool, {"search", "--name", "^KALMO view"});
            window = found.substr(0, found.find('\n'));
            return !window.empty();
        },
        20000);
    return window;
}

Image screenshot(const std::string &import, const std::string &window, const std::string &path) {
    Image shot;
    run_tool(import, {"-window", window, "png:" + path});
    kalmo_tools_test::read_png(path, shot);
    return shot;
}

int count_colour(const Image &shot, uint32_t colour) {
    int count = 0;
    for (uint32_t y = 0; y < shot.height; y++)
        for (uint32_t x = 0; x < shot.width; x++) count += shot.pixel(x, y) == colour;
    return count;
}

// Play-field pixels whose blue clearly beats their red, minus the reverse.
int blue_over_red(const Image &shot) {
    int balance = 0;
    for (uint32_t y = 60; y < 440; y += 4)
        for (uint32_t x = 0; x < shot.width; x += 4) {
            uint32_t p = shot.pixel(x, y);
            int red = int(p >> 24), blue = int((p >> 8) & 0xFF);
            balance += blue > red + 20 ? 1 : red > blue + 20 ? -1 : 0;
        }
    return balance;
}

TEST(ViewerUnderXvfb, ShowsTheDemoAndPassesMouseClicksAndKeysToIt) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: run through xvfb-run (ctest does)";
    const std::string xdotool = tool("XDOTOOL", "/usr/bin/xdotool");
    const std::string import = tool("IMAGEMAGICK_IMPORT", "/usr/bin/import");
    kalmo_test::ProbeWorkspace workspace;

    // The demo's first frame from the host alone: its title bar never changes.
    kalmo_test::RunOptions alone;
    alone.program = kHost;
    alone.arguments = workspace.host_arguments(kDemoCore, kDemoContent);
    alone.input.wait_frames(1).line("QUIT");
    kalmo_test::HostRun reference = kalmo_test::run_host(alone);
    ASSERT_FALSE(reference.stream.frames.empty());
    const kalmo::VideoFrame &first = reference.stream.frames[0];

    Viewer viewer(workspace);
    std::string window = find_window(xdotool, viewer);
    ASSERT_FALSE(window.empty()) << viewer.log();
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("mouse captured") != std::string::npos; }, 20000))
        << viewer.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::string title = run_tool(xdotool, {"getwindowname", window});
    EXPECT_NE(title.find("KALMO Demo"), std::string::npos) << title;
    EXPECT_NE(title.find("running"), std::string::npos) << title;

    auto shot = [&](const std::string &name) { return screenshot(import, window, workspace.root() + "/" + name + ".png"); };
    Image before = shot("before");
    ASSERT_EQ(before.width, 640u);
    ASSERT_EQ(before.height, 480u);
    int title_mismatches = 0;
    for (uint32_t y = 0; y < 40; y++)
        for (uint32_t x = 0; x < 260; x++) title_mismatches += before.pixel(x, y) != first.pixel(x / 2, y / 2);
    EXPECT_EQ(title_mismatches, 0) << "the window shows the demo's title bar, pixel for pixel";
    Spot start = cursor_fill(before);
    ASSERT_GE(start.x, 0) << "no cursor in the first screenshot";
    EXPECT_LT(blue_over_red(before), 0) << "the demo starts in its sunset colours";

    run_tool(xdotool, {"mousemove_relative", "--", "40", "25"});
    Spot moved;
    // Until the cursor has moved and stayed for a frame or two.
    wait_until(
        [&] {
            Spot previous = moved;
            moved = cursor_fill(shot("moved"));
            return moved.x >= 0 && (moved.x != start.x || moved.y != start.y) && moved.x == previous.x &&
                   moved.y == previous.y;
        },
        10000);
    ASSERT_GE(moved.x, 0) << "no cursor after the motion";
    // 40 and 25 mouse pixels are 20 and 12.5 frame pixels: as far on screen.
    EXPECT_NEAR(moved.x - start.x, 40, 10) << start.x << "," << start.y << " -> " << moved.x << "," << moved.y;
    EXPECT_NEAR(moved.y - start.y, 25, 6) << start.x << "," << start.y << " -> " << moved.x << "," << moved.y;

    EXPECT_EQ(count_colour(shot("unclicked"), 0xFF00FFFFu), 0);
    run_tool(xdotool, {"click", "1"});
    run_tool(xdotool, {"key", "g"});
    Image after;
    wait_until(
        [&] {
            after = shot("after");
            return count_colour(after, 0xFF00FFFFu) > 100 && blue_over_red(after) > 0;
        },
        10000);
    EXPECT_GT(count_colour(after, 0xFF00FFFFu), 100) << "a click leaves a magenta mark";
    EXPECT_GT(blue_over_red(after), 0) << "the G key turns the background purple";

    // Released, the pointer goes elsewhere; the click that captures again
    // brings the cursor under it. The arrow's fill starts one cursor pixel
    // right of its tip and two below, a cursor pixel being four on screen.
    run_tool(xdotool, {"key", "F12"});
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("mouse released") != std::string::npos; }, 10000));
    run_tool(xdotool, {"mousemove", "--window", window, "108", "106"});
    run_tool(xdotool, {"click", "1"});
    Spot under;
    bool brought = wait_until(
        [&] {
            under = cursor_fill(shot("recaptured"));
            return std::abs(under.x - (108 + 4)) <= 4 && std::abs(under.y - (106 + 8)) <= 4;
        },
        10000);
    EXPECT_TRUE(brought) << "cursor fill at " << under.x << "," << under.y << " after a click at 108,106";

    EXPECT_EQ(viewer.close_politely(), 0) << viewer.log();
    EXPECT_NE(viewer.log().find("host ended: exit code 0"), std::string::npos) << viewer.log();
}

TEST(ViewerUnderXvfb, ShowsARealDebianCoreInAWindowOfItsAspect) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: run through xvfb-run (ctest does)";
    const std::string core = std::string(KALMO_LIBRETRO_DIR) + "/nestopia_libretro.so";
    const std::string rom = std::string(KALMO_ROM_DIR) + "/kalmo_test.nes";
    if (kalmo_test::read_file(core).empty() || kalmo_test::read_file(rom).empty())
        GTEST_SKIP() << "Debian's Nestopia core or romgen's cartridge is missing";
    const std::string xdotool = tool("XDOTOOL", "/usr/bin/xdotool");
    kalmo_test::ProbeWorkspace workspace;
    Viewer viewer(workspace, core, rom);
    std::string window = find_window(xdotool, viewer);
    ASSERT_FALSE(window.empty()) << viewer.log();
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("\"state\":\"running\"") != std::string::npos; }, 20000))
        << viewer.log();
    // The cartridge turns its screen from red to blue after 60 frames.
    const uint32_t nestopia_blue = 0x4240FFFFu;
    Image picture;
    bool blue = wait_until(
        [&] {
            picture = screenshot(tool("IMAGEMAGICK_IMPORT", "/usr/bin/import"), window, workspace.root() + "/nes.png");
            return picture.width > 0 && picture.pixel(picture.width / 2, picture.height / 2) == nestopia_blue;
        },
        10000);
    ASSERT_TRUE(blue) << viewer.log();
    // 256x240 pixels shown at the reported aspect of 1.219: twice 256 wide,
    // 420 high, and the picture fills the window.
    EXPECT_EQ(picture.width, 512u);
    EXPECT_EQ(picture.height, 420u);
    EXPECT_EQ(count_colour(picture, nestopia_blue), int(picture.width * picture.height));
    EXPECT_NE(run_tool(xdotool, {"getwindowname", window}).find("Nestopia"), std::string::npos);
    EXPECT_EQ(viewer.close_politely(), 0) << viewer.log();
}

TEST(ViewerUnderXvfb, AScaleLargerThanTheScreenIsClampedToTheLargestThatFits) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: run through xvfb-run (ctest does)";
    const std::string xdotool = tool("XDOTOOL", "/usr/bin/xdotool");
    kalmo_test::ProbeWorkspace workspace;
    // 320x240 at 4 is 1280x960, more than the 1024x768 screen; 3 fits.
    Viewer viewer(workspace, kDemoCore, kDemoContent, {"--scale", "4", "--no-audio"});
    std::string window = find_window(xdotool, viewer);
    ASSERT_FALSE(window.empty()) << viewer.log();
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("\"state\":\"running\"") != std::string::npos; }, 20000))
        << viewer.log();
    std::string geometry;
    bool sized = wait_until(
        [&] {
            geometry = run_tool(xdotool, {"getwindowgeometry", window});
            return geometry.find("Geometry: 960x720") != std::string::npos;
        },
        15000);
    EXPECT_TRUE(sized) << geometry << viewer.log();
    EXPECT_NE(viewer.log().find("--scale 4 would open a 1280x960 window"), std::string::npos) << viewer.log();
    EXPECT_EQ(viewer.close_politely(), 0) << viewer.log();
}

// A silence of the output: where it starts and how many frames it lasts.
struct Silence {
    size_t start = 0, frames = 0;
};

// Runs of at least 32 all-zero stereo frames between the first and the last
// sound (the silence before the sound starts and after it ends is no gap).
std::vector<Silence> silences_inside(const std::vector<int16_t> &samples) {
    std::vector<Silence> found;
    size_t frames = samples.size() / 2, run_start = 0;
    bool heard = false;
    for (size_t i = 0; i < frames; i++) {
        bool silent = samples[2 * i] == 0 && samples[2 * i + 1] == 0;
        if (silent) continue;
        if (heard && i - run_start >= 32) found.push_back(Silence{run_start, i - run_start});
        heard = true;
        run_start = i + 1;
    }
    return found;
}

TEST(ViewerUnderXvfb, PlaysACoresSparseSoundWithNoGapInsideItsRuns) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: run through xvfb-run (ctest does)";
    kalmo_test::ProbeWorkspace workspace;
    const std::string sound = workspace.root() + "/sound.raw";
    // SDL's disk driver writes what the viewer plays, paced like a device.
    Viewer viewer(workspace, kDemoCore, kSparseContent, {"--scale", "1", "--verbose"},
                  {{"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", sound}});
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("\"state\":\"running\"") != std::string::npos; }, 20000))
        << viewer.log();
    // Sound runs of 2 s, each followed by 0.5 s with no audio at all: by now
    // the third run has begun, after two rests of the core.
    std::this_thread::sleep_for(std::chrono::milliseconds(5600));
    EXPECT_EQ(viewer.close_politely(), 0) << viewer.log();

    std::string bytes = kalmo_test::read_file(sound);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    const double rate = 48000;
    ASSERT_GT(samples.size() / 2, size_t(5 * rate)) << "the viewer asked SDL for 48000 Hz stereo 16-bit";
    // Allowed: the tune's own rests, one 200 ms note long (demo/tune.cpp),
    // give or take the rate correction's percent, and the core's rests. Those
    // are 0.5 s less the reserve, or shorter by as much as the host ran late
    // before them (it then catches up in a burst the reserve absorbs), but
    // never near as short as a dropout, which is a few pulls long at most.
    int core_rests = 0, tune_rests = 0;
    std::string gaps;
    for (const Silence &silence : silences_inside(samples)) {
        double seconds = silence.frames / rate;
        if (std::fabs(seconds - 0.2) < 0.2 * 0.015 + 32 / rate) tune_rests++;
        else if (seconds >= 0.15) core_rests++;
        else if (gaps.size() < 400)
            gaps += " " + std::to_string(silence.frames) + " frames at " + std::to_string(silence.start / rate) + " s;";
    }
    EXPECT_EQ(gaps, "") << "gaps of silence inside the sound";
    EXPECT_GE(core_rests, 1) << "the sound resumed after a rest";
    EXPECT_LE(core_rests, 2) << "no long silence but the core's two rests";
    EXPECT_GE(tune_rests, 2) << "the tune's rests are seen, so silence is measured";
    // Each rest of the core empties the queue once; no other underrun.
    size_t last_summary = viewer.log().rfind("kalmo-view: audio: ");
    ASSERT_NE(last_summary, std::string::npos) << viewer.log();
    unsigned underruns = unsigned(std::atoi(viewer.log().c_str() + last_summary + 19));
    EXPECT_GE(underruns, unsigned(core_rests));
    EXPECT_LE(underruns, unsigned(core_rests) + 1) << "one more when the host stops";
}

// What the probe read, poll by poll: the mouse's motion, and whether the A
// and Esc keys were down.
struct Poll {
    int frame = 0, dx = 0, dy = 0;
    bool a_down = false, escape_down = false;
};

int field(const std::string &line, const std::string &name) {
    size_t at = line.find(" " + name + "=");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + name.size() + 2);
}

std::vector<Poll> read_polls(const kalmo_test::ProbeWorkspace &workspace) {
    std::vector<Poll> polls;
    std::string record = kalmo_test::read_file(workspace.root() + "/dirs/save/probe.rec");
    size_t start = 0;
    for (size_t end; (end = record.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = record.substr(start, end - start);
        if (line.rfind("mouse ", 0) == 0) polls.push_back(Poll{field(line, "frame"), field(line, "x"), field(line, "y")});
        if (line.rfind("input ", 0) == 0 && !polls.empty()) {
            if (field(line, "id") == 97) polls.back().a_down = field(line, "value") != 0;
            if (field(line, "id") == 27) polls.back().escape_down = field(line, "value") != 0;
        }
    }
    return polls;
}

// The ScummVM core's cursor after these polls, from wherever it started.
// `merged_pin` tells that the last pin shared its poll with other motion (a
// starved viewer or host read both at once): until the next pin the cursor
// may be anywhere, and that span is excused and reported.
struct Replayed {
    int x = 0, y = 0, pins = 0;
    bool merged_pin = false;
};

Replayed replay(const std::vector<Poll> &polls) {
    kalmo::CursorAxis x{123, 0, 320}, y{45, 0, 200};
    Replayed replayed;
    for (const Poll &poll : polls) {
        // A pin is a motion across the whole screen toward the top-left, the
        // same on both axes.
        if (poll.dx * 0.9 <= -321 && poll.dy * 0.9 <= -201) {
            replayed.pins++;
            replayed.merged_pin = poll.dx != poll.dy;
        }
        x.apply(poll.dx, 0.9f);
        y.apply(poll.dy, 0.9f);
    }
    replayed.x = x.position;
    replayed.y = y.position;
    return replayed;
}

TEST(ViewerUnderXvfb, FollowModeKeepsAScummVMCursorUnderThePointerAndHoldsTappedKeys) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: run through xvfb-run (ctest does)";
    const std::string xdotool = tool("XDOTOOL", "/usr/bin/xdotool");
    kalmo_test::ProbeWorkspace workspace;
    const std::string scenario =
        workspace.copy_in(std::string(TOOL_TEST_DIR) + "/scenarios/pointer_and_keys.scn", "pointer_and_keys.scn");
    Viewer viewer(workspace, PROBE_CORE_PATH, scenario, {"--scale", "2", "--no-audio"}, {{"KV_DEBUG", "1"}});
    std::string window = find_window(xdotool, viewer);
    ASSERT_FALSE(window.empty()) << viewer.log();
    ASSERT_TRUE(wait_until([&] { return viewer.log().find("\"state\":\"running\"") != std::string::npos; }, 20000))
        << viewer.log();
    EXPECT_NE(viewer.log().find("pointer mode follow, mouse speed 1.111"), std::string::npos) << viewer.log();
    // The pointer starts off the window, so each step below is an entry or a
    // motion over the 640x400 window of the 320x200 picture.
    run_tool(xdotool, {"mousemove", "--sync", "1000", "760"});
    // Within 2 game pixels: a turn that a starved host read in one poll with
    // the line before it costs a pixel.
    auto cursor_reaches = [&](int x, int y) {
        Replayed replayed;
        bool reached = wait_until(
            [&] {
                replayed = replay(read_polls(workspace));
                return std::abs(replayed.x - x) <= 2 && std::abs(replayed.y - y) <= 2;
            },
            10000);
        if (!reached && replayed.merged_pin)
            std::printf("excused: the cursor is at %d,%d, not %d,%d, after a pin that shared its poll\n", replayed.x,
                        replayed.y, x, y);
        else if (!reached)
            ADD_FAILURE() << "cursor at " << replayed.x << "," << replayed.y << ", not " << x << "," << y;
        return replayed;
    };

    run_tool(xdotool, {"mousemove", "--window", window, "201", "101"});
    Replayed entered = cursor_reaches(100, 50);
    EXPECT_GE(entered.pins, 1) << "the entry pinned the cursor first";
    // A wobbly path with turns on both axes, one small step at a time.
    int x = 201, y = 101;
    const int steps[][2] = {{7, 3}, {5, -2}, {-3, 4}, {-6, -5}, {9, 1}, {1, 9}, {-1, -7}, {-11, 2}, {3, 3}, {-2, 5}};
    for (int round = 0; round < 4; round++)
        for (const auto &step : steps) {
            x += step[0] * (round + 1);
            y += step[1] * (round + 1);
            run_tool(xdotool, {"mousemove", "--window", window, std::to_string(x), std::to_string(y)});
        }
    cursor_reaches(x / 2, y / 2);

    // Out of the window and back in elsewhere: pinned again, then under the pointer.
    run_tool(xdotool, {"mousemove", "--sync", "1000", "760"});
    run_tool(xdotool, {"mousemove", "--window", window, "601", "371"});
    Replayed reentered = cursor_reaches(300, 185);
    EXPECT_GT(reentered.pins, entered.pins);

    std::vector<Poll> polls = read_polls(workspace);
    // Taps: down and up at once, as a quick finger gives them.
    size_t before_taps = polls.size();
    run_tool(xdotool, {"keydown", "--delay", "0", "a", "keyup", "--delay", "0", "a", "keydown", "--delay", "0",
                       "Escape", "keyup", "--delay", "0", "Escape"});
    auto seen_down = [&](bool Poll::*key) {
        int down = 0;
        wait_until(
            [&] {
                std::vector<Poll> now = read_polls(workspace);
                down = 0;
                for (size_t i = before_taps; i < now.size(); i++) down += now[i].*key;
                return down > 0 && !(now.back().*key);
            },
            10000);
        return down;
    };
    EXPECT_GE(seen_down(&Poll::a_down), 1) << "a tap is seen down by a polling core";
    EXPECT_GE(seen_down(&Poll::escape_down), 1) << "Esc reaches the game in follow mode";
    EXPECT_EQ(viewer.close_politely(), 0) << viewer.log();
}

}  // namespace
