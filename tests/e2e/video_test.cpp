// Video frames end to end: every pixel the probe presented, in each pixel
// format, odd widths and padded pitches, comes out converted to RGBA; a
// refused format leaves the previous one in force; a frame presented after
// the shutdown request is not sent.
#include <gtest/gtest.h>

#include "probe_pattern.h"
#include "scenario_run.h"

using namespace e2e;

namespace {

uint8_t widen5(uint32_t c) { return uint8_t(c << 3 | c >> 2); }
uint8_t widen6(uint32_t c) { return uint8_t(c << 2 | c >> 4); }

// The expected RGBA, as 0xRRGGBBAA, of the probe's pixel in `format`.
uint32_t expected_rgba(unsigned format, uint32_t x, uint32_t y, uint32_t frame) {
    uint32_t word = probe_pixel_word(x, y, frame);
    uint32_t r, g, b;
    if (format == 1) {
        r = word >> 16 & 0xFF, g = word >> 8 & 0xFF, b = word & 0xFF;
    } else if (format == 2) {
        r = widen5(word >> 11 & 31), g = widen6(word >> 5 & 63), b = widen5(word & 31);
    } else {
        r = widen5(word >> 10 & 31), g = widen5(word >> 5 & 31), b = widen5(word & 31);
    }
    return r << 24 | g << 16 | b << 8 | 0xFF;
}

struct SentFrame {
    uint32_t run;
    unsigned format;
    uint32_t width, height;
};

TEST(Video, FramesInEveryFormatMatchThePatternPixelForPixel) {
    ScenarioRun run = run_scenario("video_formats");
    ASSERT_TRUE(ended_with(run, 0));
    const SentFrame sent[] = {{1, 0, 33, 17}, {2, 1, 33, 17}, {2, 1, 31, 5}, {3, 2, 33, 17}, {4, 2, 7, 3}, {5, 2, 1, 1}};
    const std::vector<kalmo::VideoFrame> &frames = run.host.stream.frames;
    ASSERT_EQ(frames.size(), std::size(sent));
    for (size_t i = 0; i < frames.size(); i++) {
        const SentFrame &s = sent[i];
        SCOPED_TRACE("frame " + std::to_string(i) + " of run " + std::to_string(s.run));
        ASSERT_EQ(frames[i].width, s.width);
        ASSERT_EQ(frames[i].height, s.height);
        int mismatches = 0;
        for (uint32_t y = 0; y < s.height; y++)
            for (uint32_t x = 0; x < s.width; x++)
                if (frames[i].pixel(x, y) != expected_rgba(s.format, x, y, s.run) && mismatches++ < 3)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << frames[i].pixel(x, y)
                                  << ", expected " << expected_rgba(s.format, x, y, s.run);
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(Video, RefusedPixelFormatKeepsThePreviousOneAndLateFramesAreDropped) {
    ScenarioRun run = run_scenario("video_formats");
    ASSERT_TRUE(ended_with(run, 0));
    EXPECT_NE(run.record_index("pixel_format value=1 ret=1"), -1);
    EXPECT_NE(run.record_index("pixel_format value=2 ret=1"), -1);
    EXPECT_NE(run.record_index("pixel_format value=3 ret=0"), -1);
    // Seven frames presented, the last after the shutdown request.
    EXPECT_EQ(run.record_with("video ").size(), 7u);
    EXPECT_EQ(run.record_with("video frame=5 ").size(), 2u);
    EXPECT_EQ(run.host.stream.frames.size(), 6u);
    std::vector<std::string> ending = {kShutdown, kStopped};
    EXPECT_EQ(std::vector<std::string>(run.statuses().end() - 2, run.statuses().end()), ending);
    EXPECT_EQ(run.host.stream.packets.back().type, kalmo::kStatusPacket);
}

}  // namespace
