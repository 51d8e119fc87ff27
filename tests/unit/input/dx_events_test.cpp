// Delivery of DirectX events: GUI thread, one at a time, never nested, destroyed events silent.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "wait.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/input/dx_events.h"

using namespace dx8;

namespace {

using orvel::testing::waitUntil;

// Lets everything already queued run.
void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
    }
}

struct Log {
    std::vector<int32_t> calls;
    int depth = 0;
    bool nested = false;
    bool offThread = false;
};

struct Handler : DirectXEvent8 {
    explicit Handler(Log& log) : log(log) {}
    void DirectXEvent8_DXCallback(int32_t eventid) override {
        if (++log.depth > 1) {
            log.nested = true;
        }
        log.offThread = log.offThread || QThread::currentThread() != qApp->thread();
        log.calls.push_back(eventid);
        if (body) {
            body(eventid);
        }
        --log.depth;
    }
    Log& log;
    std::function<void(int32_t)> body;
};

class DirectXEvents : public ::testing::Test {
protected:
    void TearDown() override {
        for (int32_t id : created_) {
            root_.DestroyEvent(id);
        }
        settle();
    }
    int32_t make(DirectXEvent8* callback) {
        const int32_t id = root_.CreateEvent(callback);
        created_.push_back(id);
        return id;
    }
    DirectX8 root_;
    std::vector<int32_t> created_;
};

TEST_F(DirectXEvents, IdsAreNonZeroDistinctAndACallbackIsRequired) {
    Log log;
    Handler h(log);
    const int32_t a = make(&h);
    const int32_t b = make(&h);
    EXPECT_NE(a, 0);
    EXPECT_NE(b, 0);
    EXPECT_NE(a, b);
    // A destroyed id is not handed out again.
    root_.DestroyEvent(a);
    EXPECT_NE(make(&h), a);
    try {
        root_.CreateEvent(nullptr);
        ADD_FAILURE() << "accepted a null callback";
    } catch (const DxError& e) {
        EXPECT_EQ(e.code(), E_INVALIDARG);
    }
}

TEST_F(DirectXEvents, CallbacksRunOnTheGuiThreadInSignalOrder) {
    Log log;
    Handler h(log);
    const int32_t a = make(&h);
    const int32_t b = make(&h);
    const int32_t c = make(&h);
    SignalEvent(b);
    SignalEvent(a);
    SignalEvent(c);
    EXPECT_TRUE(log.calls.empty()) << "delivered inside SignalEvent";
    settle();
    EXPECT_EQ(log.calls, (std::vector<int32_t>{b, a, c}));

    log.calls.clear();
    std::thread([&] {
        SignalEvent(c);
        SignalEvent(a);
    }).join();
    ASSERT_TRUE(waitUntil([&] { return log.calls.size() == 2; }));
    EXPECT_EQ(log.calls, (std::vector<int32_t>{c, a}));
    EXPECT_FALSE(log.offThread);
}

TEST_F(DirectXEvents, SignalsBeforeTheRunFoldIntoItAndSignalsDuringItFollowOnce) {
    Log log;
    Handler h(log);
    const int32_t a = make(&h);
    SignalEvent(a);
    SignalEvent(a);
    SignalEvent(a);
    settle();
    EXPECT_EQ(log.calls.size(), 1u);

    // A signal during the callback (new data while the handler reads) brings exactly one more
    // run, after this one has returned.
    log.calls.clear();
    h.body = [&](int32_t id) {
        if (log.calls.size() == 1) {
            SignalEvent(id);
            SignalEvent(id);
            QCoreApplication::processEvents();  // must not start the next run inside this one
        }
    };
    SignalEvent(a);
    settle();
    EXPECT_EQ(log.calls.size(), 2u);
    EXPECT_FALSE(log.nested);
}

TEST_F(DirectXEvents, NeverNestedEvenInANestedEventLoop) {
    Log log;
    Handler first(log);
    Handler second(log);
    const int32_t a = make(&first);
    const int32_t b = make(&second);
    bool secondSignalled = false;
    // The first callback sits in an event loop of its own, as a message box would, while the
    // second event is signalled from another thread.
    first.body = [&](int32_t) {
        std::thread([&] { SignalEvent(b); }).join();
        secondSignalled = true;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 100) {
            QCoreApplication::processEvents();
            QThread::msleep(2);
        }
        EXPECT_EQ(log.calls.size(), 1u) << "the second callback ran inside the first";
    };
    SignalEvent(a);
    ASSERT_TRUE(waitUntil([&] { return log.calls.size() == 2; }));
    EXPECT_TRUE(secondSignalled);
    EXPECT_EQ(log.calls, (std::vector<int32_t>{a, b}));
    EXPECT_FALSE(log.nested);
}

TEST_F(DirectXEvents, DestroyDropsSignalsAlreadyQueued) {
    Log log;
    Handler h(log);
    const int32_t a = make(&h);
    const int32_t b = make(&h);
    SignalEvent(a);
    SignalEvent(b);
    root_.DestroyEvent(a);
    settle();
    EXPECT_EQ(log.calls, (std::vector<int32_t>{b}));

    // Destroyed by an earlier callback while its own run waits in the queue.
    log.calls.clear();
    const int32_t c = make(&h);
    h.body = [&](int32_t id) {
        if (id == b) {
            root_.DestroyEvent(c);
        }
    };
    SignalEvent(b);
    SignalEvent(c);
    settle();
    EXPECT_EQ(log.calls, (std::vector<int32_t>{b}));
    SignalEvent(c);
    settle();
    EXPECT_EQ(log.calls, (std::vector<int32_t>{b}));
}

TEST_F(DirectXEvents, UnknownIdsAreIgnored) {
    Log log;
    Handler h(log);
    const int32_t a = make(&h);
    const int before = events::liveCount();
    SignalEvent(0);
    SignalEvent(a + 1000);
    SignalEvent(-1);
    root_.DestroyEvent(0);
    root_.DestroyEvent(a + 1000);
    settle();
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(events::liveCount(), before);
}

TEST_F(DirectXEvents, AFailingCallbackDoesNotStopLaterOnes) {
    Log log;
    Handler bad(log);
    Handler good(log);
    bad.body = [](int32_t) { throw DxError(E_FAIL); };
    const int32_t a = make(&bad);
    const int32_t b = make(&good);
    SignalEvent(a);
    SignalEvent(b);
    settle();
    EXPECT_EQ(log.calls, (std::vector<int32_t>{a, b}));
    // The failed event still works.
    SignalEvent(a);
    settle();
    EXPECT_EQ(log.calls.size(), 3u);
}

TEST_F(DirectXEvents, NoSignalIsLostWhenManyThreadsSignal) {
    // Every signal must be followed by a run that begins after it: the callback notes how many
    // signals had been made when it began, and the last note must count them all.
    std::atomic<int> made{0};
    int seenAtLastRun = -1;
    Log log;
    Handler h(log);
    h.body = [&](int32_t) {
        seenAtLastRun = made.load();
        QThread::usleep(100);  // signals land while it runs
    };
    const int32_t a = make(&h);
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                made.fetch_add(1);
                SignalEvent(a);
            }
            finished.fetch_add(1);
        });
    }
    // Deliver while they signal.
    ASSERT_TRUE(waitUntil([&] { return finished.load() == kThreads; }, 30000));
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_TRUE(waitUntil([&] { return seenAtLastRun == kThreads * kEach; }));
    settle();
    EXPECT_EQ(seenAtLastRun, kThreads * kEach);
    EXPECT_LE(log.calls.size(), size_t(kThreads * kEach));
    EXPECT_FALSE(log.nested);
}

}  // namespace
