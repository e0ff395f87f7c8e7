// kalmo-record's outputs hold exactly what the host sent: frame PNGs decode
// to the frames of the stream (and to the probe core's known pattern), the
// WAV files hold the audio blocks sample for sample and split where the rate
// changes, status.jsonl holds the status messages, and the summary's figures
// are the stream's. The demo core, being deterministic without input, is
// also checked against a host run of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_run.h"
#include "output_files.h"
#include "probe_pattern.h"
#include "probe_workspace.h"
#include "stream_decoder.h"

namespace {

namespace fs = std::filesystem;
using kalmo_tools_test::Image;
using kalmo_tools_test::Json;
using kalmo_tools_test::Wav;

const std::string kRecorder = KALMO_RECORD_PATH;
const std::string kHost = KALMO_HOST_PATH;
const std::string kDemoCore = DEMO_CORE_PATH;
const std::string kDemoContent = DEMO_CONTENT_PATH;
const std::string kProbeCore = PROBE_CORE_PATH;
const std::string kToolTests = TOOL_TEST_DIR;

struct Recorded {
    kalmo_test::ProcessResult process;
    std::string folder;
    Json summary;
    std::string summary_text;
    kalmo::DecodedStream stream;  // stream.kalmo, when kept
};

Recorded record(const std::string &folder, std::vector<std::string> arguments) {
    kalmo_test::RunOptions options;
    options.program = kRecorder;
    options.arguments = std::move(arguments);
    options.arguments.insert(options.arguments.end(), {"--out", folder, "--quiet"});
    options.timeout_ms = 60000;
    Recorded recorded;
    recorded.folder = folder;
    recorded.process = kalmo_test::run_process(options);
    kalmo_tools_test::parse_json(kalmo_test::read_file(folder + "/summary.json"), recorded.summary);
    recorded.summary_text = kalmo_test::read_file(folder + "/summary.txt");
    recorded.stream = kalmo::decode_stream(kalmo_test::read_file(folder + "/stream.kalmo"));
    return recorded;
}

std::string frame_png(uint64_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "/frames/frame_%06llu.png", (unsigned long long)number);
    return name;
}

// The probe core's RGB565 word widened as the host widens it.
uint32_t probe_rgba(uint32_t x, uint32_t y, uint32_t run) {
    uint32_t word = probe_pixel_word(x, y, run) & 0xFFFF;
    uint32_t r5 = word >> 11, g6 = (word >> 5) & 63, b5 = word & 31;
    return (r5 << 3 | r5 >> 2) << 24 | (g6 << 2 | g6 >> 4) << 16 | (b5 << 3 | b5 >> 2) << 8 | 0xFF;
}

bool same_picture(const Image &image, const kalmo::VideoFrame &frame) {
    return image.width == frame.width && image.height == frame.height && image.rgba == frame.rgba;
}

// One recording of the probe scenario, shared by the cases that read it.
class ProbeRecording : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        workspace_ = new kalmo_test::ProbeWorkspace();
        std::string content = workspace_->copy_in(kToolTests + "/scenarios/recorded_run.scn", "recorded_run.scn");
        run_ = new Recorded(record(workspace_->root() + "/out", {"--host", kHost, "--core", kProbeCore, "--content",
                                                                  content, "--frames", "50", "--png-every", "7",
                                                                  "--save-stream"}));
    }
    static void TearDownTestSuite() {
        delete run_;
        delete workspace_;
    }
    static kalmo_test::ProbeWorkspace *workspace_;
    static Recorded *run_;
};

kalmo_test::ProbeWorkspace *ProbeRecording::workspace_;
Recorded *ProbeRecording::run_;

TEST_F(ProbeRecording, TheRunEndsWellAndKeepsAWholeStream) {
    const Recorded &run = *run_;
    ASSERT_EQ(run.process.exit_code, 0) << kalmo_test::describe_end(run.process) << run.process.err;
    EXPECT_EQ(run.stream.error, "");
    EXPECT_GE(run.stream.frames.size(), 50u);
    EXPECT_EQ(run.summary["result"].text, "ok");
}

TEST_F(ProbeRecording, EveryChosenFramePngDecodesToExactlyTheFrameOfTheStream) {
    const Recorded &run = *run_;
    ASSERT_GE(run.stream.frames.size(), 50u);
    std::vector<std::string> expected_files;
    for (uint64_t number = 7; number <= run.stream.frames.size(); number += 7) {
        expected_files.push_back(frame_png(number).substr(1));
        Image image;
        ASSERT_TRUE(kalmo_tools_test::read_png(run.folder + frame_png(number), image)) << number;
        EXPECT_TRUE(same_picture(image, run.stream.frames[number - 1])) << "frame " << number;
    }
    std::vector<std::string> listed;
    for (const Json &file : run.summary["files"]["frames"].items) listed.push_back(file.text);
    EXPECT_EQ(listed, expected_files);
    EXPECT_FALSE(fs::exists(run.folder + frame_png(1))) << "--png-every replaces the default first and last frames";
}

TEST_F(ProbeRecording, FramePngsHoldThePatternTheCoreDrew) {
    for (uint32_t run_number : {7u, 28u, 49u}) {
        Image image;
        ASSERT_TRUE(kalmo_tools_test::read_png(run_->folder + frame_png(run_number), image));
        ASSERT_EQ(image.width, 40u);
        ASSERT_EQ(image.height, 30u);
        int wrong = 0;
        for (uint32_t y = 0; y < 30; y++)
            for (uint32_t x = 0; x < 40; x++) wrong += image.pixel(x, y) != probe_rgba(x, y, run_number);
        EXPECT_EQ(wrong, 0) << "pixels differing from the probe pattern in frame " << run_number;
    }
}

TEST_F(ProbeRecording, WavFilesHoldTheAudioBlocksSampleForSampleAndSplitWhereTheRateChanges) {
    const Recorded &run = *run_;
    std::vector<int16_t> before, after;
    for (const kalmo::AudioBlock &block : run.stream.audio) {
        ASSERT_TRUE(block.sample_rate == 44100 || block.sample_rate == 22050) << block.sample_rate;
        std::vector<int16_t> &part = block.sample_rate == 44100 ? before : after;
        ASSERT_TRUE(block.sample_rate == 22050 || after.empty()) << "44100 Hz audio after the change";
        part.insert(part.end(), block.samples.begin(), block.samples.end());
    }
    ASSERT_EQ(before.size(), 30u * 441 * 2);
    ASSERT_FALSE(after.empty());

    Wav first, second;
    ASSERT_TRUE(kalmo_tools_test::read_wav(run.folder + "/audio.wav", first));
    ASSERT_TRUE(kalmo_tools_test::read_wav(run.folder + "/audio-2.wav", second));
    EXPECT_EQ(first.sample_rate, 44100u);
    EXPECT_EQ(second.sample_rate, 22050u);
    EXPECT_EQ(first.channels, 2);
    EXPECT_EQ(first.bits, 16);
    EXPECT_TRUE(first.samples == before);
    EXPECT_TRUE(second.samples == after);
    // And the samples are the probe's own sequence, counted across the run.
    for (uint32_t i = 0; i < first.samples.size() / 2; i++) {
        ASSERT_EQ(first.samples[2 * i], probe_audio_left(i)) << i;
        ASSERT_EQ(first.samples[2 * i + 1], probe_audio_right(i)) << i;
    }
    EXPECT_NE(run.summary_text.find("the sample rate changed from 44100 Hz to 22050 Hz at audio frame 13230"),
              std::string::npos)
        << run.summary_text;
}

TEST_F(ProbeRecording, SummaryFiguresAreTheStreamsFigures) {
    const Recorded &run = *run_;
    const Json &s = run.summary;
    uint64_t audio_frames = 0;
    for (const kalmo::AudioBlock &block : run.stream.audio) audio_frames += block.frames;
    EXPECT_EQ(s["ok"].boolean, true);
    EXPECT_EQ(s["exit_code"].number, 0);
    EXPECT_EQ(s["video"]["frames"].number, double(run.stream.frames.size()));
    EXPECT_EQ(s["video"]["last_width"].number, 40);
    EXPECT_EQ(s["video"]["av_width"].number, 40);
    EXPECT_EQ(s["video"]["av_height"].number, 30);
    EXPECT_EQ(s["video"]["av_aspect"].number, 1.333);
    EXPECT_EQ(s["audio"]["frames"].number, double(audio_frames));
    EXPECT_EQ(s["audio"]["blocks"].number, double(run.stream.audio.size()));
    ASSERT_EQ(s["audio"]["sample_rates"].items.size(), 2u);
    EXPECT_EQ(s["audio"]["sample_rates"].items[0].number, 44100);
    EXPECT_EQ(s["audio"]["sample_rates"].items[1].number, 22050);
    ASSERT_EQ(s["audio"]["wav"].items.size(), 2u);
    EXPECT_EQ(s["audio"]["wav"].items[0]["frames"].number, 30 * 441);
    EXPECT_EQ(s["audio"]["wav"].items[1]["first_audio_frame"].number, 30 * 441);
    EXPECT_EQ(s["audio"]["frames_per_video_frame"].number, 441);
    EXPECT_EQ(s["status_messages"].number, double(run.stream.statuses.size()));
    EXPECT_EQ(s["protocol_bytes"].number, double(kalmo_test::read_file(run.folder + "/stream.kalmo").size()));
    EXPECT_EQ(s["saw_running"].boolean, true);
    EXPECT_EQ(s["saw_stopped"].boolean, true);
    EXPECT_EQ(s["quit_sent"].boolean, true);
    EXPECT_FALSE(s["seconds_to_running"].is_null());
    EXPECT_FALSE(s["video"]["measured_fps"].is_null());
    EXPECT_EQ(s["files"]["contact_sheet"].text, "contact_sheet.png");
    Image sheet;
    EXPECT_TRUE(kalmo_tools_test::read_png(run.folder + "/contact_sheet.png", sheet));
}

TEST_F(ProbeRecording, StatusLinesAreTheStatusMessagesInOrder) {
    std::string text = kalmo_test::read_file(run_->folder + "/status.jsonl");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "every line ends with a line feed";
    std::vector<std::string> lines = kalmo_test::read_lines(run_->folder + "/status.jsonl");
    EXPECT_EQ(lines, run_->stream.statuses);
    for (const std::string &line : lines) {
        Json parsed;
        EXPECT_TRUE(kalmo_tools_test::parse_json(line, parsed)) << line;
    }
}

TEST_F(ProbeRecording, DiagnosticsFileIsTheDiagnosticStreamWithItsLineEnds) {
    std::string text = kalmo_test::read_file(run_->folder + "/diagnostics.txt");
    EXPECT_EQ(text.rfind("HOST_BUILD=", 0), 0u);
    EXPECT_NE(text.find("\r\nlibrary_name=probe\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nLOAD_CONTENT_RETURN=1\r\n"), std::string::npos);
    EXPECT_EQ(run_->summary["diagnostic_bytes"].number, double(text.size()));
}

// The demo draws the same frames and plays the same tune on every run that
// gets no input, so a recording can be compared with a run of the host alone.
kalmo_test::HostRun run_demo_alone(const kalmo_test::ProbeWorkspace &workspace, uint64_t frames) {
    kalmo_test::RunOptions options;
    options.program = kHost;
    options.arguments = workspace.host_arguments(kDemoCore, kDemoContent);
    options.input.wait_frames(frames).line("QUIT");
    options.timeout_ms = 30000;
    return kalmo_test::run_host(options);
}

TEST(DemoRecording, FramesAndAudioMatchARunOfTheHostAlone) {
    kalmo_test::ProbeWorkspace workspace;
    Recorded run = record(workspace.root() + "/out", {"--host", kHost, "--core", kDemoCore, "--content", kDemoContent,
                                                      "--frames", "20", "--png-frames", "1,10,20"});
    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    kalmo_test::HostRun alone = run_demo_alone(workspace, 20);
    ASSERT_GE(alone.stream.frames.size(), 20u);
    for (uint64_t number : {1, 10, 20}) {
        Image image;
        ASSERT_TRUE(kalmo_tools_test::read_png(run.folder + frame_png(number), image));
        EXPECT_EQ(image.width, 320u);
        EXPECT_EQ(image.height, 240u);
        EXPECT_TRUE(same_picture(image, alone.stream.frames[number - 1])) << "frame " << number;
    }
    std::vector<int16_t> expected;
    for (size_t i = 0; i < 20; i++) {
        EXPECT_EQ(alone.stream.audio[i].frames, 800u);
        expected.insert(expected.end(), alone.stream.audio[i].samples.begin(), alone.stream.audio[i].samples.end());
    }
    Wav wav;
    ASSERT_TRUE(kalmo_tools_test::read_wav(run.folder + "/audio.wav", wav));
    EXPECT_EQ(wav.sample_rate, 48000u);
    ASSERT_GE(wav.samples.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), wav.samples.begin()));
    EXPECT_NE(run.summary["core_message"].text.find("KALMO Demo"), std::string::npos);
}

TEST(DemoRecording, ScriptLinesReachTheHostAtTheirFrameOrTime) {
    kalmo_test::ProbeWorkspace workspace;
    std::string script = workspace.write_file("input.txt",
                                              "# cursor, key, and a line that never comes due\n"
                                              "at frame 3: M 7 -5 1 0 10 20 1\n"
                                              "at 0.3s: K 97 1 97 0\n"
                                              "at frame 100000: RESET\n");
    Recorded run = record(workspace.root() + "/out", {"--host", kHost, "--core", kDemoCore, "--content", kDemoContent,
                                                      "--frames", "30", "--input", script, "--png-frames", "1,2,3,30"});
    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    std::string diagnostics = kalmo_test::read_file(run.folder + "/diagnostics.txt");
    EXPECT_NE(diagnostics.find("INPUT_LINE count=1 dx=7 dy=-5 buttons=1 wheel=0 px=10 py=20 inside=1\r\n"),
              std::string::npos);
    EXPECT_EQ(run.summary["commands_sent"].number, 3) << "two script lines and the closing QUIT";
    EXPECT_EQ(run.summary["script_lines_unsent"].number, 1);

    // Nothing is sent before frame 3 has arrived, so frames 1 to 3 are those
    // of a run without input; by frame 30 the cursor and colours have changed.
    kalmo_test::HostRun alone = run_demo_alone(workspace, 30);
    ASSERT_GE(alone.stream.frames.size(), 30u);
    for (uint64_t number : {1, 2, 3, 30}) {
        Image image;
        ASSERT_TRUE(kalmo_tools_test::read_png(run.folder + frame_png(number), image));
        EXPECT_EQ(same_picture(image, alone.stream.frames[number - 1]), number != 30) << "frame " << number;
    }
}

}  // namespace
