// The port mapper's rules, with routers of our own in place of real ones.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "net/paths/port_mapper.h"
#include "wait.h"

using namespace orvel::net;
using namespace std::chrono;
using orvel::testing::scaledMs;
using orvel::testing::waitUntil;

namespace {

// A router that answers when the test lets it (or never), grants or refuses, and counts.
class FakeRouter : public PortMapBackend {
public:
    FakeRouter(MappingProtocol p, bool grants, seconds lease = seconds(600),
               QString address = QStringLiteral("40.40.40.10"))
        : protocol_(p), grants_(grants), lease_(lease), address_(std::move(address)) {}
    MappingProtocol protocol() const override { return protocol_; }
    MapAnswer add(uint16_t port, seconds, milliseconds budget) override {
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, budget, [&] { return open_; })) {
            return {std::nullopt, QStringLiteral("silent")};
        }
        ++adds;
        if (!grants_) {
            return {std::nullopt, QStringLiteral("refused")};
        }
        held = true;
        Mapping mapping;
        mapping.protocol = protocol_;
        mapping.externalAddress = address_;
        mapping.externalPort = port;
        mapping.internalPort = port;
        mapping.lease = lease_;
        return {mapping, {}};
    }
    bool remove(const Mapping&, milliseconds) override {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, removeHang, [] { return false; });
        ++removes;
        held = false;
        return true;
    }
    void open() {
        std::lock_guard<std::mutex> l(m_);
        open_ = true;
        cv_.notify_all();
    }
    std::atomic<int> adds{0}, removes{0};
    std::atomic<bool> held{false};  // the router forwards the port
    milliseconds removeHang{0};

private:
    MappingProtocol protocol_;
    bool grants_;
    seconds lease_;
    QString address_;
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// By default two routers; oneRouter makes both protocols answer for the same one.
struct Pair {
    std::shared_ptr<FakeRouter> upnp, natpmp;
    PortMapper mapper;
    Pair(bool upnpGrants, bool natpmpGrants, PortMapper::Timing timing = {}, bool oneRouter = false)
        : upnp(std::make_shared<FakeRouter>(MappingProtocol::Upnp, upnpGrants, timing.lease)),
          natpmp(std::make_shared<FakeRouter>(
              MappingProtocol::NatPmp, natpmpGrants, timing.lease,
              oneRouter ? QStringLiteral("40.40.40.10") : QStringLiteral("40.40.40.20"))),
          mapper({upnp, natpmp}, timing) {}
};

TEST(PortMapper, FirstAnswerWinsAndTheOtherIsGivenBack) {
    struct Case {
        const char* name;
        bool upnpGrants, natpmpGrants;
        bool upnpFirst;
        bool oneRouter;
        MappingProtocol winner;
        int upnpRemoves, natpmpRemoves;  // once both have answered
    };
    const Case cases[] = {
        {"UPnP first", true, true, true, false, MappingProtocol::Upnp, 0, 1},
        {"NAT-PMP first", true, true, false, false, MappingProtocol::NatPmp, 1, 0},
        {"UPnP refuses", false, true, true, false, MappingProtocol::NatPmp, 0, 0},
        // Both name the one entry on the router: it stays.
        {"one router", true, true, true, true, MappingProtocol::Upnp, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p(c.upnpGrants, c.natpmpGrants, {}, c.oneRouter);
        p.mapper.start(2302);
        EXPECT_EQ(p.mapper.state(), PortMapper::State::Trying);
        auto first = c.upnpFirst ? p.upnp : p.natpmp;
        auto second = c.upnpFirst ? p.natpmp : p.upnp;
        first->open();
        ASSERT_TRUE(waitUntil([&] { return first->adds == 1; }));
        if (c.upnpGrants == c.natpmpGrants) {
            ASSERT_TRUE(waitUntil([&] { return p.mapper.state() == PortMapper::State::Mapped; }));
        }
        second->open();
        ASSERT_TRUE(waitUntil([&] { return p.mapper.state() == PortMapper::State::Mapped; }));
        ASSERT_TRUE(waitUntil([&] { return second->adds == 1; }));
        ASSERT_TRUE(waitUntil([&] {
            return p.upnp->removes == c.upnpRemoves && p.natpmp->removes == c.natpmpRemoves;
        }));
        // The second answer is handled by now: a mapping wrongly given back would show.
        QCoreApplication::processEvents();
        EXPECT_EQ(p.upnp->removes + p.natpmp->removes, c.upnpRemoves + c.natpmpRemoves);
        EXPECT_EQ(p.mapper.mapping()->protocol, c.winner);
        const QString address = c.winner == MappingProtocol::Upnp || c.oneRouter
                                    ? QStringLiteral("40.40.40.10")
                                    : QStringLiteral("40.40.40.20");
        EXPECT_EQ(p.mapper.describe(),
                  QStringLiteral("mapped %1:2302 (%2)").arg(address, protocolName(c.winner)));
        // Leaving, the shared entry is given back through both protocols: the router may have
        // filed it under the one that asked last.
        p.mapper.stop();
        if (c.oneRouter) {
            EXPECT_EQ(p.upnp->removes, 1);
            EXPECT_EQ(p.natpmp->removes, 1);
        }
    }
}

TEST(PortMapper, RenewsTheLeaseWhileHeldAndGivesItBackOnStopAndDestruction) {
    PortMapper::Timing timing;
    timing.lease = seconds(1);  // renewed every 500 ms
    for (const bool byDestruction : {false, true}) {
        SCOPED_TRACE(byDestruction ? "destruction" : "stop");
        auto p = std::make_unique<Pair>(true, false, timing);
        auto upnp = p->upnp;
        upnp->open();
        p->natpmp->open();
        p->mapper.start(2302);
        ASSERT_TRUE(waitUntil([&] { return upnp->adds >= 3; }));
        EXPECT_EQ(p->mapper.state(), PortMapper::State::Mapped);
        EXPECT_EQ(upnp->removes, 0);
        if (byDestruction) {
            p.reset();
        } else {
            p->mapper.stop();
            EXPECT_EQ(p->mapper.state(), PortMapper::State::Off);
        }
        // Given back before stop or the destructor returned. A renewal under way at that moment
        // may put the entry back on the router; its worker then gives it back too.
        EXPECT_GE(upnp->removes, 1);
        EXPECT_TRUE(waitUntil([&] { return !upnp->held; }));
    }
}

TEST(PortMapper, BoundedInTimeWhenNoRouterAnswers) {
    PortMapper::Timing timing;
    timing.discovery = milliseconds(300);
    timing.removal = milliseconds(200);
    Pair p(true, true, timing);
    QElapsedTimer t;
    t.start();
    p.mapper.start(2302);
    ASSERT_TRUE(waitUntil([&] { return p.mapper.state() == PortMapper::State::Failed; }));
    EXPECT_LT(t.elapsed(), scaledMs(3000));
    EXPECT_TRUE(p.mapper.failure().contains(QStringLiteral("silent")) ||
                p.mapper.failure().contains(QStringLiteral("no answer")))
        << p.mapper.failure().toStdString();

    // A router that hangs on removal does not hold stop() up beyond its bound.
    p.upnp->removeHang = milliseconds(10000);
    p.upnp->open();
    p.mapper.start(2302);
    ASSERT_TRUE(waitUntil([&] { return p.mapper.state() == PortMapper::State::Mapped; }));
    t.restart();
    p.mapper.stop();
    EXPECT_LT(t.elapsed(), scaledMs(3000));
}

TEST(PortMapper, AnAnswerThatComesAfterStopIsGivenBack) {
    Pair p(true, false);
    p.mapper.start(2302);
    p.mapper.stop();
    p.upnp->open();
    ASSERT_TRUE(waitUntil([&] { return p.upnp->removes == 1; }));
    EXPECT_EQ(p.mapper.state(), PortMapper::State::Off);
    EXPECT_FALSE(p.mapper.mapping().has_value());
}

TEST(PortMapper, TheSettingAndLoopbackSessionsTurnItOff) {
    struct Case {
        const char* discovery;
        const char* setting;
        bool allowed;
    };
    const Case cases[] = {
        {"", "", true},        {"", "1", true},          {"", "0", false},
        {"lan", " 0 ", false}, {"loopback", "1", false}, {"LoopBack", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.discovery) + "/" + c.setting);
        qputenv("ORVEL_DISCOVERY", c.discovery);
        EXPECT_EQ(portMappingAllowed(QString::fromLatin1(c.setting)), c.allowed);
    }
    qunsetenv("ORVEL_DISCOVERY");
}

}  // namespace
