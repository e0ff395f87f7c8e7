// The viewer's pointer rule without a display: window pixels to game
// pixels (letterbox and high-DPI), the speed each core gets, the ScummVM
// cursor model, and the lines it sends as a host would deliver them, summed
// per poll and sometimes a poll late: the core's cursor must end under the
// hand after long paths with many turns, after a pin-then-move, and when the
// frame changes size.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "pointer_rule.h"
#include "pointer_tracker.h"

namespace {

using kalmo::CursorAxis;
using kalmo::PictureGeometry;
using kalmo::PointerRule;

// A 320x200 game shown at twice its size in a 640x400 window.
PictureGeometry doubled() {
    PictureGeometry geometry;
    geometry.window_width = geometry.drawable_width = geometry.picture_width = 640;
    geometry.window_height = geometry.drawable_height = geometry.picture_height = 400;
    geometry.frame_width = 320;
    geometry.frame_height = 200;
    return geometry;
}

TEST(PointerSpeed, OnlyTheLibraryNamedScummVMGetsTheInverseOfItsGain) {
    EXPECT_DOUBLE_EQ(kalmo::default_pointer_speed("ScummVM 2.8.0 \xC2\xB7 API 1"), 1 / 0.9);
    EXPECT_DOUBLE_EQ(kalmo::default_pointer_speed("ScummVM \xC2\xB7 API 1"), 1 / 0.9) << "no version";
    EXPECT_EQ(kalmo::default_pointer_speed("ScummVM-fork 1.0 \xC2\xB7 API 1"), 1);
    EXPECT_EQ(kalmo::default_pointer_speed("scummvm 2.8.0 \xC2\xB7 API 1"), 1);
    EXPECT_EQ(kalmo::default_pointer_speed("Nestopia 1.52 \xC2\xB7 API 1"), 1);
    EXPECT_EQ(kalmo::default_pointer_speed(""), 1);
    PointerRule rule;
    rule.set_speed(kalmo::default_pointer_speed("ScummVM 2.8.0 \xC2\xB7 API 1"));
    CursorAxis axis{0, 0, 320};
    axis.apply(10, float(1 / rule.speed()));
    EXPECT_EQ(axis.position, 9) << "the model's gain is ScummVM's 0.9";
}

TEST(PictureGeometry, WindowPixelsMapToGamePixelsThroughLetterboxAndDensity) {
    PictureGeometry geometry = doubled();
    double x = 0, y = 0, scale_x = 0, scale_y = 0;
    EXPECT_TRUE(kalmo::window_to_game(geometry, 201, 101, x, y));
    EXPECT_DOUBLE_EQ(x, 100.5);
    EXPECT_DOUBLE_EQ(y, 50.5);
    kalmo::game_pixels_per_window_pixel(geometry, scale_x, scale_y);
    EXPECT_DOUBLE_EQ(scale_x, 0.5);

    // A wider window: the picture sits between bars 80 pixels wide.
    geometry.window_width = geometry.drawable_width = 800;
    geometry.picture_x = 80;
    EXPECT_FALSE(kalmo::window_to_game(geometry, 40, 100, x, y)) << "over the left bar";
    EXPECT_EQ(x, 0) << "clamped to the picture's edge";
    EXPECT_TRUE(kalmo::window_to_game(geometry, 717, 397, x, y));
    EXPECT_DOUBLE_EQ(x, 318.5);
    EXPECT_DOUBLE_EQ(y, 198.5);
    EXPECT_FALSE(kalmo::window_to_game(geometry, 790, 100, x, y));
    EXPECT_EQ(x, 319) << "the right edge is the last pixel";

    // Twice as many device pixels as logical ones: motion in logical pixels
    // covers twice the drawable, so a 320-pixel game drawn 1280 wide still
    // moves one game pixel per logical pixel of a 640-wide window... halved.
    geometry = doubled();
    geometry.drawable_width = geometry.picture_width = 1280;
    geometry.drawable_height = geometry.picture_height = 800;
    EXPECT_TRUE(kalmo::window_to_game(geometry, 201, 101, x, y));
    EXPECT_DOUBLE_EQ(x, 100.5);
    kalmo::game_pixels_per_window_pixel(geometry, scale_x, scale_y);
    EXPECT_DOUBLE_EQ(scale_x, 0.5);
    EXPECT_DOUBLE_EQ(scale_y, 0.5);
    EXPECT_FALSE(kalmo::window_to_game(PictureGeometry{}, 10, 10, x, y)) << "no frame yet";
}

TEST(CursorModel, FractionsAreKeptOneWayAndLostWhenTheDirectionTurns) {
    const float gain = 0.9f;
    CursorAxis axis{100, 0, 320};
    axis.apply(1, gain);
    EXPECT_EQ(axis.position, 100);
    EXPECT_NEAR(axis.remainder, 0.9, 1e-6);
    axis.apply(1, gain);
    EXPECT_EQ(axis.position, 101);
    EXPECT_NEAR(axis.remainder, 0.8, 1e-6);
    axis.apply(0, gain);
    EXPECT_NEAR(axis.remainder, 0.8, 1e-6) << "no motion leaves the remainder";
    axis.apply(-1, gain);
    EXPECT_EQ(axis.position, 101) << "the turn dropped 0.8 and -0.9 moves nothing";
    EXPECT_NEAR(axis.remainder, -0.9, 1e-6);
    axis.apply(-3, gain);
    EXPECT_EQ(axis.position, 98) << "-0.9 - 2.7 = -3.6";
    EXPECT_NEAR(axis.remainder, -0.6, 1e-5);
    axis.apply(-1000, gain);
    EXPECT_EQ(axis.position, 0) << "clamped at the left";
    axis.apply(1000, gain);
    EXPECT_EQ(axis.position, 320) << "clamped at the screen's width";
}

TEST(CursorModel, TheDeltaChosenReachesTheTargetFromAnyRemainder) {
    for (float gain : {0.9f, 1.0f, 0.5f, 0.1f, 1.5f})
        for (float remainder : {0.0f, 0.55f, -0.55f, 0.95f})
            for (int target : {0, 1, 37, 150, 151, 319, 320}) {
                CursorAxis axis{150, remainder, 320};
                int delta = kalmo::delta_to_reach(axis, target, gain);
                axis.apply(delta, gain);
                // Steps larger than a pixel cannot land everywhere.
                EXPECT_LE(std::abs(axis.position - target), gain > 1 ? 1 : 0)
                    << "gain " << gain << " remainder " << remainder << " target " << target;
            }
}

// The host's side: lines are summed until the next poll, which applies them
// to a core whose cursor follows the ScummVM rule with the real gain.
struct FakeHost {
    CursorAxis core_x{0, 0, 320}, core_y{0, 0, 200};
    float gain = 0.9f;
    std::vector<int> pending_x = std::vector<int>(3), pending_y = std::vector<int>(3);
    void deliver(int dx, int dy, int late) {
        pending_x[late] += dx;
        pending_y[late] += dy;
    }
    void poll() {
        core_x.apply(pending_x[0], gain);
        core_y.apply(pending_y[0], gain);
        pending_x.erase(pending_x.begin());
        pending_y.erase(pending_y.begin());
        pending_x.push_back(0);
        pending_y.push_back(0);
    }
};

// Runs `frames` frames: each takes the lines the rule offers (several per
// frame, as the viewer's loop does) and hands them to the host, which reads
// them at the next poll or, for a late one, at the poll after.
void run_frames(PointerRule &rule, FakeHost &host, uint64_t &frame, int frames, std::mt19937 &random,
                const std::function<void()> &each_frame = {}) {
    for (int i = 0; i < frames; i++) {
        if (each_frame) each_frame();
        for (int take = 0; take < 3; take++) {
            int dx = 0, dy = 0;
            if (rule.take_motion(frame, dx, dy)) host.deliver(dx, dy, random() % 4 == 0 ? 1 : 0);
        }
        host.poll();
        frame++;
    }
}

TEST(PointerRule, AScummVMCursorEndsUnderTheHandAfterALongPathWithManyTurns) {
    PointerRule rule;
    rule.set_speed(1 / 0.9);
    rule.set_frame_size(320, 200);
    FakeHost host;
    host.core_x.position = 250;
    host.core_y.position = 3;
    std::mt19937 random(18);
    uint64_t frame = 1;
    rule.bring_under(160, 100);
    std::uniform_real_distribution<double> step(-3.2, 3.2);
    int worst = 0;
    for (int stroke = 0; stroke < 200; stroke++) {
        // A stroke of small hand motions with turns, as a wobbly hand makes.
        run_frames(rule, host, frame, 1 + random() % 6, random, [&] {
            rule.move_by(step(random), step(random));
        });
        run_frames(rule, host, frame, 3, random);
        int miss = std::max(std::abs(host.core_x.position - rule.hand_x()),
                            std::abs(host.core_y.position - rule.hand_y()));
        worst = std::max(worst, miss);
    }
    EXPECT_EQ(worst, 0) << "three frames after each stroke the cursor is on the hand's pixel";
}

TEST(PointerRule, MotionScaledWithRemaindersKeepsAGainOneCursorOnTheHand) {
    kalmo::PointerTracker pointer;
    pointer.set_frame_size(320, 200);
    pointer.bring_under(320, 200, doubled(), true);
    kalmo::MouseState state;
    ASSERT_TRUE(pointer.take_state(1, state));
    ASSERT_TRUE(pointer.take_state(4, state));
    int sent = state.dx;
    EXPECT_EQ(sent, 160) << "from the pinned corner to the hand";
    // Ten window pixels one at a time are five game pixels, not zero or ten.
    SDL_MouseMotionEvent motion{};
    motion.xrel = 1;
    for (int i = 0; i < 10; i++) {
        pointer.on_motion(motion, doubled(), true);
        if (pointer.take_state(5 + i, state)) sent += state.dx;
    }
    EXPECT_EQ(sent, 160 + 5);
    EXPECT_EQ(state.px, 165);
    EXPECT_EQ(state.inside, 1);
}

TEST(PointerRule, BringingUnderPinsInOnePollAndMovesThreeShownFramesLater) {
    PointerRule rule;
    rule.set_speed(1 / 0.9);
    EXPECT_EQ(rule.hand_x(), 0);
    int dx = 0, dy = 0;
    rule.bring_under(100.7, 50.2);
    EXPECT_FALSE(rule.take_motion(1, dx, dy)) << "nothing before the frame's size is known";
    rule.set_frame_size(320, 200);
    ASSERT_TRUE(rule.take_motion(10, dx, dy));
    EXPECT_LE(dx * 0.9, -321) << "the pin crosses the whole screen from anywhere";
    EXPECT_LE(dy * 0.9, -201);
    EXPECT_GE(dx, -32767) << "and stays a 16-bit motion";
    EXPECT_TRUE(rule.bringing_under());
    EXPECT_FALSE(rule.take_motion(10, dx, dy));
    EXPECT_FALSE(rule.take_motion(12, dx, dy)) << "two frames are too few: the two could share a poll";
    ASSERT_TRUE(rule.take_motion(13, dx, dy));
    EXPECT_FALSE(rule.bringing_under());
    CursorAxis x{317, 0.5f, 320}, y{199, 0, 200};
    x.apply(-400, 0.9f);
    y.apply(-400, 0.9f);
    x.apply(dx, 0.9f);
    y.apply(dy, 0.9f);
    EXPECT_EQ(x.position, 100);
    EXPECT_EQ(y.position, 50);
}

TEST(PointerRule, ButtonsWaitForTheMoveSoTheCapturingClickLandsUnderTheHand) {
    kalmo::PointerTracker pointer;
    pointer.set_frame_size(320, 200);
    SDL_MouseButtonEvent click{};
    click.button = SDL_BUTTON_LEFT;
    click.state = SDL_PRESSED;
    pointer.bring_under(201, 101, doubled(), true);
    pointer.on_button(click);
    kalmo::MouseState state;
    ASSERT_TRUE(pointer.take_state(5, state));
    EXPECT_LT(state.dx, 0);
    EXPECT_EQ(state.buttons, 0) << "the pin carries no click";
    EXPECT_FALSE(pointer.take_state(7, state));
    ASSERT_TRUE(pointer.take_state(8, state));
    EXPECT_EQ(state.buttons, 1);
    EXPECT_EQ(state.px, 100);
    EXPECT_EQ(state.py, 50);
}

TEST(PointerRule, ANewFrameSizeBringsTheCursorUnderTheHandAgain) {
    PointerRule rule;
    rule.set_frame_size(320, 200);
    rule.bring_under(300, 150);
    int dx = 0, dy = 0;
    rule.take_motion(1, dx, dy);
    rule.take_motion(4, dx, dy);
    EXPECT_FALSE(rule.bringing_under());
    rule.set_frame_size(320, 200);
    EXPECT_FALSE(rule.bringing_under()) << "the same size changes nothing";
    rule.set_frame_size(256, 120);
    EXPECT_TRUE(rule.bringing_under());
    EXPECT_EQ(rule.hand_x(), 255) << "the hand stays inside the smaller frame";
    EXPECT_EQ(rule.hand_y(), 119);
    ASSERT_TRUE(rule.take_motion(5, dx, dy));
    EXPECT_LT(dx, -256);
}

TEST(PointerTracker, FollowingThePointerReportsWhetherItIsOverThePicture) {
    kalmo::PointerTracker pointer;
    pointer.set_frame_size(320, 200);
    SDL_MouseMotionEvent motion{};
    motion.x = 201;
    motion.y = 101;
    pointer.on_motion(motion, doubled(), false);
    kalmo::MouseState state;
    ASSERT_TRUE(pointer.take_state(1, state));
    EXPECT_EQ(state.dx, 100) << "a cursor at 0 goes to the hand with a gain of 1";
    EXPECT_EQ(state.px, 100);
    EXPECT_EQ(state.inside, 1);
    pointer.on_leave(false);
    ASSERT_TRUE(pointer.take_state(2, state));
    EXPECT_EQ(state.inside, 0);
    EXPECT_EQ(state.dx, 0);
}

}  // namespace
