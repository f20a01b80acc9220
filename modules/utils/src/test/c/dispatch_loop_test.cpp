#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "utils.h"

using namespace std::chrono;
using Utils::SimpleDispatcherImpl;

TEST(DispatchLoop, OwnerThreadPostRunsBeforeInvokeReturnsAndNestsInsideADrain) {
    SimpleDispatcherImpl loop;
    std::vector<int> order;
    loop.invoke([&] {
        order.push_back(1);
        loop.invoke([&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchLoop, PostsAfterStopNeverRun) {
    SimpleDispatcherImpl loop;
    bool ran = false;
    loop.stop();
    loop.invoke([&] { ran = true; });
    std::thread([&] { loop.invoke([&] { ran = true; }); }).join();
    loop.run(200);
    EXPECT_FALSE(ran);
}

TEST(DispatchLoop, StopRunsListenersAndTheLastQueuedWork) {
    SimpleDispatcherImpl loop;
    int calls = 0;
    auto listener = std::make_shared<Utils::StopListener>([&] { ++calls; });
    loop.stop_listeners().add(listener);
    bool queued = false;
    std::thread([&] { loop.invoke([&] { queued = true; }); }).join();
    loop.stop();
    loop.stop();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(queued);
}

TEST(DispatchLoop, ForeignPostIsDeliveredAtOnceOnTheOwnerThread) {
    SimpleDispatcherImpl loop;
    const auto owner = std::this_thread::get_id();
    std::thread::id ranOn;
    steady_clock::time_point posted, delivered;
    std::thread poster([&] {
        std::this_thread::sleep_for(milliseconds(30));
        posted = steady_clock::now();
        loop.invoke([&] {
            ranOn = std::this_thread::get_id();
            delivered = steady_clock::now();
            loop.quit();
        });
    });
    loop.run(5000);
    poster.join();
    EXPECT_EQ(ranOn, owner);
    // Generous: the point is that it does not wait for a 100 ms polling step.
    EXPECT_LT(duration_cast<milliseconds>(delivered - posted).count(), 80);
}

TEST(DispatchLoop, RunLimitCountsHundredMillisecondSteps) {
    SimpleDispatcherImpl loop;
    const auto start = steady_clock::now();
    loop.run(250);
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 1500);
}

TEST(DispatchLoop, UnlimitedRunEndsOnQuitFromAnotherThread) {
    SimpleDispatcherImpl loop;
    std::thread quitter([&] {
        std::this_thread::sleep_for(milliseconds(150));
        loop.quit();
    });
    loop.run(0);
    quitter.join();
    SUCCEED();
}
