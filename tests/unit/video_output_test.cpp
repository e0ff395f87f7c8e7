// The video callback as the parent sees it: which frames are dropped, the
// packet and frame headers, one write per row, the row buffer that grows to
// the widest frame and survives a failed allocation, and the worked colour
// values of the three pixel formats.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core_services/environment.h"
#include "host/host_state.h"
#include "host/libretro.h"
#include "parent_view.h"
#include "video/video_output.h"

namespace {

class VideoOutput : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_host(); }

    static kalmo::DecodedStream sent(void) {
        kalmo::DecodedStream stream = kalmo::decode_stream(fake.protocol);
        EXPECT_EQ(stream.error, "");
        return stream;
    }

    // One 1x1 frame of the given source bytes; its single RGBA pixel.
    static std::vector<uint8_t> one_pixel(const std::vector<uint8_t> &source) {
        forget_output();
        video_refresh(source.data(), 1, 1, source.size());
        kalmo::DecodedStream stream = sent();
        if (stream.frames.size() != 1) return {};
        return stream.frames[0].rgba;
    }
};

std::vector<uint8_t> word16(uint16_t word) { return {(uint8_t)word, (uint8_t)(word >> 8)}; }

uint16_t rgb565(uint32_t r, uint32_t g, uint32_t b) { return (uint16_t)(r << 11 | g << 5 | b); }
uint16_t rgb1555(uint32_t top, uint32_t r, uint32_t g, uint32_t b) { return (uint16_t)(top << 15 | r << 10 | g << 5 | b); }

TEST_F(VideoOutput, FramesFailingAGuardAreDroppedWithoutWritingOrAllocating) {
    std::vector<uint16_t> pixels(8193 * 2, 0x7fff);
    struct guarded {
        const char *why;
        const void *data;
        unsigned width, height;
        size_t pitch;
    };
    for (const guarded &g : {guarded{"width 0", pixels.data(), 0, 1, 2}, guarded{"height 0", pixels.data(), 1, 0, 2},
                             guarded{"hardware frame", RETRO_HW_FRAME_BUFFER_VALID, 4, 4, 8},
                             guarded{"null data", nullptr, 4, 4, 8},
                             guarded{"width 8193", pixels.data(), 8193, 1, 8193 * 2},
                             guarded{"height 8193", pixels.data(), 1, 8193, 2}}) {
        SCOPED_TRACE(g.why);
        video_refresh(g.data, g.width, g.height, g.pitch);
        EXPECT_EQ(fake.writes.size(), 0u);
        EXPECT_EQ(fake.allocations, 0);
    }
}

TEST_F(VideoOutput, AFramePresentedAfterTheRunningFlagIsClearedIsDropped) {
    std::vector<uint16_t> pixels(16, 0x1234);
    video_refresh(pixels.data(), 4, 4, 8);
    ASSERT_EQ(sent().frames.size(), 1u);
    environment_callback(RETRO_ENVIRONMENT_SHUTDOWN, nullptr);
    forget_output();
    video_refresh(pixels.data(), 4, 4, 8);
    EXPECT_EQ(sent().frames.size(), 0u);
    EXPECT_EQ(fake.writes.size(), 0u);
}

TEST_F(VideoOutput, AGuardedFrameLeavesTheRowBufferAsItWas) {
    std::vector<uint16_t> pixels(8193 * 2, 0);
    video_refresh(pixels.data(), 16, 1, 32);
    video_refresh(pixels.data(), 8193, 1, 8193 * 2);
    running = 0;
    video_refresh(pixels.data(), 600, 1, 1200);
    EXPECT_EQ(fake.allocation_sizes, std::vector<size_t>{64});
    EXPECT_EQ(fake.frees, 0);
}

TEST_F(VideoOutput, FramesOf8192PixelsInEitherDirectionAreSentWhole) {
    std::vector<uint16_t> pixels(8192 * 2);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = (uint16_t)(i * 7);
    video_refresh(pixels.data(), 8192, 1, 8192 * 2);
    video_refresh(pixels.data(), 1, 8192, 2);
    video_refresh(pixels.data(), 8192, 2, 8192 * 2);
    kalmo::DecodedStream stream = sent();
    ASSERT_EQ(stream.packets.size(), 3u);
    EXPECT_EQ(stream.packets[0].payload.size(), 32776u);
    EXPECT_EQ(stream.packets[1].payload.size(), 32776u);
    EXPECT_EQ(stream.packets[2].payload.size(), 65544u);
    ASSERT_EQ(stream.frames.size(), 3u);
    EXPECT_EQ(stream.frames[0].width, 8192u);
    EXPECT_EQ(stream.frames[0].height, 1u);
    EXPECT_EQ(stream.frames[1].width, 1u);
    EXPECT_EQ(stream.frames[1].height, 8192u);
    // Column and row frames of the same words give the same pixels.
    EXPECT_EQ(stream.frames[0].rgba, stream.frames[1].rgba);
}

TEST_F(VideoOutput, AFrameOf8192By8192IsWrittenInFullAsOneHeaderAnd8192Rows) {
    // Every write is made to fail so the quarter gigabyte is not kept; the
    // writes asked for still show the frame going out whole. A pitch of 0
    // reads the same source row 8192 times.
    std::vector<uint16_t> row(8192, 0xffff);
    fake.failing_writes = 1 << 20;
    video_refresh(row.data(), 8192, 8192, 0);
    ASSERT_EQ(fake.writes.size(), 8194u);
    EXPECT_EQ(fake.writes[0].requested, 9u);
    EXPECT_EQ(fake.writes[1].requested, 8u);
    uint64_t payload = 0;
    for (size_t i = 1; i < fake.writes.size(); i++) payload += fake.writes[i].requested;
    EXPECT_EQ(payload, 268435464u);
    for (size_t i = 2; i < fake.writes.size(); i++) ASSERT_EQ(fake.writes[i].requested, 32768u) << "write " << i;
}

TEST_F(VideoOutput, TheRowBufferGrowsToTheWidestFrameAndIsReusedAfterwards) {
    std::vector<uint16_t> pixels(640, 0x0421);
    video_refresh(pixels.data(), 320, 1, 640);
    EXPECT_EQ(fake.allocation_sizes, std::vector<size_t>{1280});
    video_refresh(pixels.data(), 640, 1, 1280);
    EXPECT_EQ(fake.allocation_sizes, (std::vector<size_t>{1280, 2560}));
    EXPECT_EQ(fake.frees, 1);
    video_refresh(pixels.data(), 320, 2, 640);
    video_refresh(pixels.data(), 640, 1, 1280);
    video_refresh(pixels.data(), 1, 1, 2);
    EXPECT_EQ(fake.allocations, 2);
    EXPECT_EQ(fake.frees, 1);
    EXPECT_EQ(sent().frames.size(), 5u);
}

TEST_F(VideoOutput, AFailedAllocationSendsNothingOfTheFrameAndTheNextFrameTriesAgain) {
    std::vector<uint16_t> pixels(640, 0x7c00);
    fake.failing_allocations = 1;
    video_refresh(pixels.data(), 640, 1, 1280);
    EXPECT_EQ(fake.writes.size(), 0u) << "not even the header";
    EXPECT_EQ(fake.protocol, "");
    video_refresh(pixels.data(), 640, 1, 1280);
    EXPECT_EQ(fake.allocation_sizes, std::vector<size_t>{2560});
    ASSERT_EQ(sent().frames.size(), 1u);
    EXPECT_EQ(sent().frames[0].pixel(639, 0), 0xff0000ffu);
}

TEST_F(VideoOutput, AFailedAllocationForAWiderFrameLeavesNoBufferBehind) {
    std::vector<uint16_t> pixels(640, 0x03e0);
    video_refresh(pixels.data(), 320, 1, 640);
    fake.failing_allocations = 1;
    forget_output();
    video_refresh(pixels.data(), 640, 1, 1280);
    EXPECT_EQ(fake.writes.size(), 0u);
    EXPECT_EQ(fake.frees, 1) << "the narrower buffer was released before the attempt";
    // The buffer is gone, so even the narrow frame must allocate again.
    video_refresh(pixels.data(), 320, 1, 640);
    EXPECT_EQ(fake.allocation_sizes, (std::vector<size_t>{1280, 1280}));
    ASSERT_EQ(sent().frames.size(), 1u);
    EXPECT_EQ(sent().frames[0].pixel(0, 0), 0x00ff00ffu);
}

TEST_F(VideoOutput, AFrameTakesOneHeaderWriteOneFrameHeaderWriteAndOneWritePerRow) {
    std::vector<uint16_t> pixels(5 * 7, 0);
    video_refresh(pixels.data(), 5, 7, 10);
    ASSERT_EQ(fake.writes.size(), 9u);
    EXPECT_EQ(fake.writes[0].requested, 9u);
    EXPECT_EQ(fake.writes[1].requested, 8u);
    for (size_t i = 2; i < 9; i++) EXPECT_EQ(fake.writes[i].requested, 20u);
    for (const fake_write &write : fake.writes) EXPECT_EQ(write.handle, fake.output);
}

TEST_F(VideoOutput, FailedWritesDoNotStopTheRestOfTheFrame) {
    std::vector<uint16_t> pixels(3 * 4, 0);
    fake.failing_writes = 2;
    video_refresh(pixels.data(), 3, 4, 6);
    ASSERT_EQ(fake.writes.size(), 6u);
    EXPECT_EQ(fake.protocol.size(), 4u * 12u) << "only the rows got through";
}

TEST_F(VideoOutput, AOnePixelRGB565FrameWithEveryBitSetIsTwelveBytesOfWhite) {
    pixel_format = RETRO_PIXEL_FORMAT_RGB565;
    uint16_t white = 0xffff;
    video_refresh(&white, 1, 1, 2);
    EXPECT_EQ(fake.protocol, std::string("KLMP\x01\x0c\x00\x00\x00"
                                         "\x01\x00\x00\x00\x01\x00\x00\x00"
                                         "\xff\xff\xff\xff",
                                         21));
}

TEST_F(VideoOutput, TheWorkedColourValuesOfEachFormat) {
    struct worked {
        uint32_t format;
        std::vector<uint8_t> source;
        std::vector<uint8_t> rgba;
    };
    const worked table[] = {
        {RETRO_PIXEL_FORMAT_RGB565, word16(rgb565(31, 0, 0)), {255, 0, 0, 255}},
        {RETRO_PIXEL_FORMAT_RGB565, word16(rgb565(0, 63, 0)), {0, 255, 0, 255}},
        {RETRO_PIXEL_FORMAT_RGB565, word16(rgb565(0, 0, 31)), {0, 0, 255, 255}},
        {RETRO_PIXEL_FORMAT_RGB565, word16(rgb565(16, 32, 16)), {132, 130, 132, 255}},
        {RETRO_PIXEL_FORMAT_RGB565, word16(rgb565(1, 2, 1)), {8, 8, 8, 255}},
        {RETRO_PIXEL_FORMAT_RGB565, word16(0), {0, 0, 0, 255}},
        {RETRO_PIXEL_FORMAT_0RGB1555, word16(rgb1555(0, 31, 31, 31)), {255, 255, 255, 255}},
        {RETRO_PIXEL_FORMAT_0RGB1555, word16(rgb1555(1, 0, 0, 0)), {0, 0, 0, 255}},
        {RETRO_PIXEL_FORMAT_0RGB1555, word16(rgb1555(1, 31, 31, 31)), {255, 255, 255, 255}},
        {RETRO_PIXEL_FORMAT_0RGB1555, word16(rgb1555(0, 16, 16, 16)), {132, 132, 132, 255}},
        {RETRO_PIXEL_FORMAT_0RGB1555, word16(rgb1555(0, 31, 0, 1)), {255, 0, 8, 255}},
        {RETRO_PIXEL_FORMAT_XRGB8888, {0x11, 0x22, 0x33, 0x44}, {0x33, 0x22, 0x11, 255}},
        {RETRO_PIXEL_FORMAT_XRGB8888, {0x00, 0x00, 0x00, 0xff}, {0, 0, 0, 255}},
    };
    for (const worked &w : table) {
        SCOPED_TRACE("format " + std::to_string(w.format) + ", first source byte " + std::to_string(w.source[0]) +
                     ", second " + std::to_string(w.source[1]));
        pixel_format = w.format;
        EXPECT_EQ(one_pixel(w.source), w.rgba);
    }
}

TEST_F(VideoOutput, APaddedPitchGivesTheSamePacketAsATightOne) {
    const uint32_t width = 3, height = 4;
    std::vector<uint16_t> tight(width * height);
    for (size_t i = 0; i < tight.size(); i++) tight[i] = (uint16_t)(0x1357 * (i + 1));
    std::vector<uint16_t> padded(height * (width + 5), 0xbeef);
    for (uint32_t y = 0; y < height; y++)
        std::memcpy(&padded[y * (width + 5)], &tight[y * width], width * 2);
    for (uint32_t format : {RETRO_PIXEL_FORMAT_0RGB1555, RETRO_PIXEL_FORMAT_RGB565}) {
        SCOPED_TRACE("format " + std::to_string(format));
        pixel_format = format;
        forget_output();
        video_refresh(tight.data(), width, height, width * 2);
        std::string from_tight = fake.protocol;
        forget_output();
        video_refresh(padded.data(), width, height, (width + 5) * 2);
        EXPECT_EQ(fake.protocol, from_tight);
        EXPECT_EQ(fake.protocol.size(), 9u + 8u + width * height * 4);
    }
}

TEST_F(VideoOutput, RowsComeOutTopFirstEachAtItsOwnPitch) {
    pixel_format = RETRO_PIXEL_FORMAT_XRGB8888;
    // Three rows of two pixels, 12 bytes apart, each row a different colour.
    std::vector<uint32_t> source = {0x00ff0000, 0x00ff0000, 0xdeadbeef, 0x0000ff00, 0x0000ff00, 0xdeadbeef,
                                    0x000000ff, 0x000000ff, 0xdeadbeef};
    video_refresh(source.data(), 2, 3, 12);
    kalmo::DecodedStream stream = sent();
    ASSERT_EQ(stream.frames.size(), 1u);
    const kalmo::VideoFrame &frame = stream.frames[0];
    EXPECT_EQ(frame.pixel(0, 0), 0xff0000ffu);
    EXPECT_EQ(frame.pixel(1, 0), 0xff0000ffu);
    EXPECT_EQ(frame.pixel(0, 1), 0x00ff00ffu);
    EXPECT_EQ(frame.pixel(1, 1), 0x00ff00ffu);
    EXPECT_EQ(frame.pixel(0, 2), 0x0000ffffu);
    EXPECT_EQ(frame.pixel(1, 2), 0x0000ffffu);
}

TEST_F(VideoOutput, PixelFormatZeroIsInForceUntilTheCoreSetsAnother) {
    // 0x7c00 is pure red in 0RGB1555 but a dim mix in RGB565.
    std::vector<uint8_t> red_1555 = word16(0x7c00);
    EXPECT_EQ(pixel_format, (uint32_t)RETRO_PIXEL_FORMAT_0RGB1555);
    EXPECT_EQ(one_pixel(red_1555), (std::vector<uint8_t>{255, 0, 0, 255}));
}

TEST_F(VideoOutput, EachFrameUsesTheFormatCurrentWhenItIsSent) {
    std::vector<uint8_t> source = {0x00, 0x7c, 0x00, 0x00};
    unsigned format = RETRO_PIXEL_FORMAT_RGB565;
    ASSERT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(one_pixel({0x00, 0x7c}), (std::vector<uint8_t>{123, 130, 0, 255}));
    format = RETRO_PIXEL_FORMAT_XRGB8888;
    ASSERT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(one_pixel(source), (std::vector<uint8_t>{0, 0x7c, 0, 255}));
    // A refused format leaves the last one in force.
    format = 3;
    EXPECT_FALSE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(one_pixel(source), (std::vector<uint8_t>{0, 0x7c, 0, 255}));
    format = RETRO_PIXEL_FORMAT_0RGB1555;
    ASSERT_TRUE(environment_callback(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format));
    EXPECT_EQ(one_pixel({0x00, 0x7c}), (std::vector<uint8_t>{255, 0, 0, 255}));
}

}  // namespace
