// The dispatcher: in order, one at a time, also across nested event loops and failures.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <vector>

#include "platform/dx8/dx8_types.h"
#include "platform/dx8/serial_dispatcher.h"

using dx8::SerialDispatcher;

namespace {

void runEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(SerialDispatcher, NestedLoopDoesNotLetTheNextOneIn) {
    SerialDispatcher d;
    std::vector<int> order;
    int depth = 0;
    bool overlapped = false;
    auto enter = [&] {
        overlapped = overlapped || depth > 0;
        ++depth;
    };
    d.post([&] {
        enter();
        order.push_back(1);
        d.post([&] {
            enter();
            order.push_back(3);
            --depth;
        });
        runEventsFor(100);  // a message box's own loop
        order.push_back(2);
        --depth;
    });
    d.post([&] {
        enter();
        order.push_back(25);
        --depth;
    });
    runEventsFor(300);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 25, 3}));
    EXPECT_FALSE(overlapped);
}

TEST(SerialDispatcher, AFailingNotificationDoesNotStopTheRest) {
    SerialDispatcher d;
    int delivered = 0;
    d.post([] { dx8::raise(dx8::DPNERR_GENERIC); });
    d.post([] { throw 42; });  // not even an exception class
    d.post([&] { ++delivered; });
    runEventsFor(100);
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(d.running());
    d.post([&] { ++delivered; });
    runEventsFor(100);
    EXPECT_EQ(delivered, 2);
}

}  // namespace
