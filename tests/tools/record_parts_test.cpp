// The recorder's parts on their own: input scripts (parsing and the moment
// each line comes due), the frame sampler behind the contact sheet (evenly
// spread, bounded, ending on the last frame), and the WAV writer's header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contact_sheet.h"
#include "record_script.h"
#include "output_files.h"
#include "probe_workspace.h"
#include "wav_file.h"

namespace {

using kalmo::ScriptLine;
using kalmo::ScriptPlayer;

TEST(InputScript, FrameAndTimeLinesKeepTheirCommandsAsWritten) {
    std::vector<ScriptLine> lines;
    std::string error;
    ASSERT_TRUE(kalmo::parse_input_script("# comment\n\nat frame 12: M 1 -2 0 0 5 6 1\r\n"
                                          "at 1.5s: K 97 1 97 0\n  at 2 s:  RESET  \nat frame 0: QUIT\n",
                                          lines, error))
        << error;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_FALSE(lines[0].by_time);
    EXPECT_EQ(lines[0].frame, 12u);
    EXPECT_EQ(lines[0].command, "M 1 -2 0 0 5 6 1");
    EXPECT_EQ(lines[0].source_line, 3);
    EXPECT_TRUE(lines[1].by_time);
    EXPECT_DOUBLE_EQ(lines[1].seconds, 1.5);
    EXPECT_EQ(lines[1].command, "K 97 1 97 0");
    EXPECT_DOUBLE_EQ(lines[2].seconds, 2.0);
    EXPECT_EQ(lines[2].command, "RESET");
    EXPECT_EQ(lines[3].frame, 0u);
}

TEST(InputScript, MalformedLinesAreRefusedWithTheirNumber) {
    for (const char *text : {"at frame x: QUIT\n", "at frame 3 QUIT\n", "at -1s: QUIT\n", "at 1.5m: QUIT\n",
                             "frame 3: QUIT\n", "at frame 3:\n"}) {
        std::vector<ScriptLine> lines;
        std::string error;
        EXPECT_FALSE(kalmo::parse_input_script(std::string("# first\n") + text, lines, error)) << text;
        EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
    }
}

TEST(InputScript, LinesComeDueOnceInScriptOrderAndNotBeforeRunning) {
    std::vector<ScriptLine> lines;
    std::string error;
    ASSERT_TRUE(kalmo::parse_input_script("at frame 5: A\nat 0.5s: B\nat frame 2: C\nat frame 5: D\n", lines, error));
    ScriptPlayer player(lines);
    EXPECT_TRUE(player.due(10, -1).empty()) << "nothing before \"running\"";
    EXPECT_EQ(player.due(1, 0.1), std::vector<std::string>{});
    EXPECT_EQ(player.due(2, 0.2), std::vector<std::string>{"C"});
    EXPECT_EQ(player.due(6, 0.3), (std::vector<std::string>{"A", "D"}));
    EXPECT_EQ(player.remaining(), 1u);
    EXPECT_EQ(player.due(7, 0.6), std::vector<std::string>{"B"});
    EXPECT_TRUE(player.due(100, 9.0).empty());
    EXPECT_EQ(player.remaining(), 0u);
}

kalmo::VideoFrame solid_frame(uint32_t width, uint32_t height, uint8_t shade) {
    kalmo::VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.rgba.assign(size_t(width) * height * 4, shade);
    return frame;
}

TEST(FrameSampler, PicksAreSpreadEvenlyAndEndOnTheLastFrame) {
    for (uint64_t total : {5u, 12u, 241u, 5000u}) {
        kalmo::FrameSampler sampler(12, 320);
        kalmo::VideoFrame frame = solid_frame(8, 6, 1);
        for (uint64_t n = 1; n <= total; n++) sampler.offer(frame, n, double(n) / 60);
        std::vector<kalmo::Thumbnail> picked = sampler.pick(&frame, total, double(total) / 60);
        ASSERT_EQ(picked.size(), std::min<uint64_t>(total, 12)) << total;
        EXPECT_EQ(picked.front().frame_number, 1u);
        EXPECT_EQ(picked.back().frame_number, total);
        double ideal = double(total - 1) / double(picked.size() - 1);
        for (size_t i = 1; i < picked.size(); i++) {
            double gap = double(picked[i].frame_number - picked[i - 1].frame_number);
            EXPECT_GT(gap, 0) << total;
            EXPECT_LE(gap, 2 * ideal + 1) << "total " << total << " pick " << i;
        }
    }
}

TEST(FrameSampler, ThumbnailsShrinkWideFramesByAWholeFactorAndAverageThePixels) {
    kalmo::VideoFrame frame = solid_frame(640, 480, 0);
    for (size_t i = 0; i < frame.rgba.size(); i += 8) frame.rgba[i] = 200;  // red on every other pixel
    kalmo::Thumbnail thumbnail = kalmo::make_thumbnail(frame, 1, 0, 320);
    EXPECT_EQ(thumbnail.width, 320u);
    EXPECT_EQ(thumbnail.height, 240u);
    EXPECT_EQ(thumbnail.rgb[0], 100);
    kalmo::Thumbnail small = kalmo::make_thumbnail(solid_frame(160, 144, 7), 1, 0, 320);
    EXPECT_EQ(small.width, 160u);
    EXPECT_EQ(small.height, 144u);
}

TEST(ContactSheet, HoldsEveryThumbnailInAGridOfTheGivenColumns) {
    std::vector<kalmo::Thumbnail> thumbnails;
    for (uint64_t n = 1; n <= 5; n++) thumbnails.push_back(kalmo::make_thumbnail(solid_frame(200, 100, 90), n, 0, 320));
    kalmo::RgbImage sheet = kalmo::compose_contact_sheet(thumbnails, 2);
    // Cells are as wide as the widest label needs (192 pixels here is less),
    // three rows of 100 pixels plus their labels.
    EXPECT_EQ(sheet.width, 8u + 2 * (200 + 8));
    EXPECT_EQ(sheet.height, 8u + 3 * (100 + 22 + 8));
    EXPECT_EQ(sheet.rgb[(size_t(8) * sheet.width + 8) * 3], 90) << "first thumbnail at the top-left";
    EXPECT_TRUE(kalmo::compose_contact_sheet({}, 4).rgb.empty());
}

TEST(WavWriter, HeaderCarriesTheRateAndTheSizesOfWhatWasWritten) {
    kalmo_test::ProbeWorkspace workspace;
    std::string path = workspace.root() + "/tone.wav";
    kalmo::WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, 22050, error)) << error;
    const int16_t samples[] = {1, -1, 32767, -32768, 300, -300};
    ASSERT_TRUE(writer.append(samples, 3));
    ASSERT_TRUE(writer.close());
    kalmo_tools_test::Wav wav;
    ASSERT_TRUE(kalmo_tools_test::read_wav(path, wav));
    EXPECT_EQ(wav.sample_rate, 22050u);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.bits, 16);
    EXPECT_EQ(wav.samples, std::vector<int16_t>(std::begin(samples), std::end(samples)));

    ASSERT_TRUE(writer.open(path, 48000, error));
    ASSERT_TRUE(writer.close());
    ASSERT_TRUE(kalmo_tools_test::read_wav(path, wav)) << "an empty recording is still a valid file";
    EXPECT_TRUE(wav.samples.empty());
}

}  // namespace
