// The event queue's policies: under latest-video a newer frame replaces an
// untaken one and the count of replaced frames rides on the next frame
// taken; audio and status are never dropped; a full queue makes the pusher
// wait rather than lose anything.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "session_event.h"

namespace client_test {
namespace {

using kalmo::client::Event;
using kalmo::client::EventQueue;
using kalmo::client::EventType;
using kalmo::client::VideoPolicy;

Event make(EventType type, const std::string &text = "") {
    Event event;
    event.type = type;
    event.text = text;
    return event;
}

std::string drain(EventQueue &queue, std::vector<uint64_t> *dropped = nullptr) {
    std::string order;
    Event event;
    while (queue.pop(event, 0) == EventQueue::kTaken) {
        order += event.text;
        if (dropped && event.type == EventType::kVideo) dropped->push_back(event.dropped_frames);
    }
    return order;
}

TEST(ClientEventQueue, LatestVideoReplacesUntakenFramesCountsThemAndKeepsEverythingElse) {
    kalmo::PayloadPool pool;
    EventQueue queue(16, VideoPolicy::kLatest, pool);
    for (const char *step : {"a", "1", "2", "s", "3", "b", "4"})
        queue.push(make(step[0] >= '1' && step[0] <= '9' ? EventType::kVideo : EventType::kAudio, step));
    std::vector<uint64_t> dropped;
    EXPECT_EQ(drain(queue, &dropped), "asb4");
    EXPECT_EQ(dropped, std::vector<uint64_t>{3});
    queue.push(make(EventType::kVideo, "5"));
    EXPECT_EQ(drain(queue, &dropped), "5");
    EXPECT_EQ(dropped.back(), 0u) << "the count starts again after a frame is taken";
    EXPECT_EQ(queue.dropped_total(), 3u);
}

TEST(ClientEventQueue, AllVideoKeepsEveryFrameAndAFullQueueMakesThePusherWait) {
    kalmo::PayloadPool pool;
    EventQueue queue(2, VideoPolicy::kAll, pool);
    std::atomic<int> pushed{0};
    std::thread pusher([&] {
        for (const char *text : {"1", "2", "3", "4"}) {
            queue.push(make(EventType::kVideo, text));
            pushed++;
        }
        queue.finish();
    });
    while (pushed < 2) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pushed, 2) << "a push went past the limit";
    std::string order;
    Event event;
    while (queue.pop(event, 5000) == EventQueue::kTaken) order += event.text;
    pusher.join();
    EXPECT_EQ(order, "1234");
    EXPECT_EQ(queue.pop(event, 0), EventQueue::kEnded);
}

TEST(ClientEventQueue, CancelReleasesAWaitingPusherAndAWaitingTaker) {
    kalmo::PayloadPool pool;
    EventQueue full(1, VideoPolicy::kAll, pool);
    full.push(make(EventType::kAudio));
    std::thread pusher([&] { EXPECT_FALSE(full.push(make(EventType::kAudio))); });
    EventQueue empty(1, VideoPolicy::kAll, pool);
    std::thread taker([&] {
        Event event;
        EXPECT_EQ(empty.pop(event, -1), EventQueue::kEnded);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    full.cancel();
    empty.cancel();
    pusher.join();
    taker.join();
}

}  // namespace
}  // namespace client_test
