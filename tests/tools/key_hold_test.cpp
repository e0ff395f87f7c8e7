// Keys tapped faster than a core polls: the release waits until 50 ms after
// the press, on a fake clock; longer presses are released at once.
#include <gtest/gtest.h>

#include <vector>

#include "key_hold.h"

namespace {

using Releases = std::vector<kalmo::KeyHold::Release>;

TEST(KeyHold, ATapIsReleasedFiftyMillisecondsAfterItsPress) {
    kalmo::KeyHold hold;
    hold.press(97, 1000);
    EXPECT_FALSE(hold.release(97, 0x01, 1004));
    EXPECT_EQ(hold.take_due(1049), Releases{});
    EXPECT_EQ(hold.take_due(1050), (Releases{{97, 0x01}})) << "with the modifiers of its release";
    EXPECT_EQ(hold.take_due(1200), Releases{}) << "sent once";
}

TEST(KeyHold, AKeyHeldLongEnoughIsReleasedAtOnce) {
    kalmo::KeyHold hold;
    hold.press(13, 0);
    EXPECT_TRUE(hold.release(13, 0, 50));
    EXPECT_TRUE(hold.release(27, 0, 60)) << "a key never seen pressed is not held back";
    EXPECT_EQ(hold.take_due(1000), Releases{});
}

TEST(KeyHold, APressBeforeTheKeptReleaseStartsANewHold) {
    kalmo::KeyHold hold;
    hold.press(32, 0);
    EXPECT_FALSE(hold.release(32, 0, 10));
    hold.press(32, 30);
    EXPECT_EQ(hold.take_due(60), Releases{}) << "the key is down again";
    EXPECT_FALSE(hold.release(32, 0, 70));
    EXPECT_EQ(hold.take_due(79), Releases{});
    EXPECT_EQ(hold.take_due(80), (Releases{{32, 0}}));
}

TEST(KeyHold, TapsOfTwoKeysAreEachReleasedOnTheirOwnTime) {
    kalmo::KeyHold hold;
    hold.press(97, 0);
    hold.press(98, 20);
    EXPECT_FALSE(hold.release(98, 0, 21));
    EXPECT_FALSE(hold.release(97, 0, 22));
    EXPECT_EQ(hold.take_due(50), (Releases{{97, 0}}));
    EXPECT_EQ(hold.take_due(70), (Releases{{98, 0}}));
}

}  // namespace
