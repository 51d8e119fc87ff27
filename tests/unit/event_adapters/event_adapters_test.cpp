// The handler bases: the forwarder hands on every notification unchanged, the empty ones leave
// the platform's answer alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

#include "platform/dx8/event_adapters.h"

using namespace dx8;

namespace {

static_assert(!std::is_abstract_v<DirectPlay8EventAdapter>);
static_assert(!std::is_abstract_v<DirectPlay8EventForwarder>);
static_assert(!std::is_abstract_v<DirectPlay8LobbyEventAdapter>);

// A notification as it arrived: its place in the interface, then its arguments (a message by
// its address, so that a copy would show).
using Call = std::vector<int64_t>;

int64_t at(const void* message) { return reinterpret_cast<intptr_t>(message); }

// Notes every notification and rejects it, so that the answer's way back shows.
class Recorder : public DirectPlay8Event {
public:
    std::vector<Call> calls;
    // clang-format off
    void DirectPlay8Event_AddRemovePlayerGroup(int32_t m, DPNID p, DPNID g, bool& r) override { note({0, m, p, g}, r); }
    void DirectPlay8Event_AppDesc(bool& r) override { note({1}, r); }
    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE& n, bool& r) override { note({2, at(&n)}, r); }
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& n, bool& r) override { note({3, at(&n)}, r); }
    void DirectPlay8Event_CreateGroup(DPNID g, DPNID o, bool& r) override { note({4, g, o}, r); }
    void DirectPlay8Event_CreatePlayer(DPNID p, bool& r) override { note({5, p}, r); }
    void DirectPlay8Event_DestroyGroup(DPNID g, int32_t why, bool& r) override { note({6, g, why}, r); }
    void DirectPlay8Event_DestroyPlayer(DPNID p, int32_t why, bool& r) override { note({7, p, why}, r); }
    void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY& n, bool& r) override { note({8, at(&n)}, r); }
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE& n, bool& r) override { note({9, at(&n)}, r); }
    void DirectPlay8Event_HostMigrate(DPNID h, bool& r) override { note({10, h}, r); }
    void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT& n, bool& r) override { note({11, at(&n)}, r); }
    void DirectPlay8Event_IndicatedConnectAborted(bool& r) override { note({12}, r); }
    void DirectPlay8Event_InfoNotify(int32_t m, int32_t id, bool& r) override { note({13, m, id}, r); }
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE& n, bool& r) override { note({14, at(&n)}, r); }
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE& n, bool& r) override { note({15, at(&n)}, r); }
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION& n, bool& r) override { note({16, at(&n)}, r); }
    // clang-format on

private:
    void note(Call call, bool& reject) {
        calls.push_back(std::move(call));
        reject = true;
    }
};

struct Messages {
    DPNMSG_ASYNC_OP_COMPLETE asyncOp;
    DPNMSG_CONNECT_COMPLETE connect;
    DPNMSG_ENUM_HOSTS_QUERY query;
    DPNMSG_ENUM_HOSTS_RESPONSE response;
    DPNMSG_INDICATE_CONNECT indicate;
    DPNMSG_RECEIVE receive;
    DPNMSG_SEND_COMPLETE sent;
    DPNMSG_TERMINATE_SESSION terminate;
};

struct Row {
    Call expected;
    std::function<void(DirectPlay8Event&, bool&)> deliver;
};

// Every notification of the interface, in its order, with arguments no two rows share.
std::vector<Row> everyNotification(Messages& m) {
    using E = DirectPlay8Event;
    // clang-format off
    return {
        {{0, 7, 0x101, 0x202}, [](E& e, bool& r) { e.DirectPlay8Event_AddRemovePlayerGroup(7, 0x101, 0x202, r); }},
        {{1}, [](E& e, bool& r) { e.DirectPlay8Event_AppDesc(r); }},
        {{2, at(&m.asyncOp)}, [&m](E& e, bool& r) { e.DirectPlay8Event_AsyncOpComplete(m.asyncOp, r); }},
        {{3, at(&m.connect)}, [&m](E& e, bool& r) { e.DirectPlay8Event_ConnectComplete(m.connect, r); }},
        {{4, 0x303, 0x404}, [](E& e, bool& r) { e.DirectPlay8Event_CreateGroup(0x303, 0x404, r); }},
        {{5, 0x505}, [](E& e, bool& r) { e.DirectPlay8Event_CreatePlayer(0x505, r); }},
        {{6, 0x606, 3}, [](E& e, bool& r) { e.DirectPlay8Event_DestroyGroup(0x606, 3, r); }},
        {{7, 0x707, 2}, [](E& e, bool& r) { e.DirectPlay8Event_DestroyPlayer(0x707, 2, r); }},
        {{8, at(&m.query)}, [&m](E& e, bool& r) { e.DirectPlay8Event_EnumHostsQuery(m.query, r); }},
        {{9, at(&m.response)}, [&m](E& e, bool& r) { e.DirectPlay8Event_EnumHostsResponse(m.response, r); }},
        {{10, 0x808}, [](E& e, bool& r) { e.DirectPlay8Event_HostMigrate(0x808, r); }},
        {{11, at(&m.indicate)}, [&m](E& e, bool& r) { e.DirectPlay8Event_IndicateConnect(m.indicate, r); }},
        {{12}, [](E& e, bool& r) { e.DirectPlay8Event_IndicatedConnectAborted(r); }},
        {{13, 9, 0x909}, [](E& e, bool& r) { e.DirectPlay8Event_InfoNotify(9, 0x909, r); }},
        {{14, at(&m.receive)}, [&m](E& e, bool& r) { e.DirectPlay8Event_Receive(m.receive, r); }},
        {{15, at(&m.sent)}, [&m](E& e, bool& r) { e.DirectPlay8Event_SendComplete(m.sent, r); }},
        {{16, at(&m.terminate)}, [&m](E& e, bool& r) { e.DirectPlay8Event_TerminateSession(m.terminate, r); }},
    };
    // clang-format on
}

TEST(EventAdapters, TheForwarderHandsOnEveryNotificationAndTheAnswerComesBack) {
    Messages messages;
    Recorder target;
    DirectPlay8EventForwarder forwarder;
    forwarder.setForwardTarget(&target);
    for (const Row& row : everyNotification(messages)) {
        SCOPED_TRACE(row.expected[0]);
        target.calls.clear();
        bool reject = false;
        row.deliver(forwarder, reject);
        EXPECT_EQ(target.calls, std::vector<Call>{row.expected});
        EXPECT_TRUE(reject);
    }
}

TEST(EventAdapters, WithoutATargetOrWithTheEmptyBaseNothingHappens) {
    Messages messages;
    Recorder former;
    DirectPlay8EventForwarder forwarder;
    forwarder.setForwardTarget(&former);
    forwarder.setForwardTarget(nullptr);
    DirectPlay8EventAdapter adapter;
    for (const Row& row : everyNotification(messages)) {
        for (DirectPlay8Event* handler : {static_cast<DirectPlay8Event*>(&forwarder),
                                          static_cast<DirectPlay8Event*>(&adapter)}) {
            bool reject = false;
            row.deliver(*handler, reject);
            EXPECT_FALSE(reject) << row.expected[0];
        }
    }
    EXPECT_TRUE(former.calls.empty());
}

}  // namespace
