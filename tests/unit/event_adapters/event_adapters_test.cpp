// The handler bases: the forwarder hands on every notification unchanged, the empty ones leave
// the platform's answer alone.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dx8/event_adapters.h"

using namespace dx8;

namespace {

static_assert(!std::is_abstract_v<DirectPlay8EventAdapter>);
static_assert(!std::is_abstract_v<DirectPlay8EventForwarder>);
static_assert(!std::is_abstract_v<DirectPlay8LobbyEventAdapter>);

struct Call {
    std::string name;
    std::vector<int64_t> values;
    const void* message = nullptr;
};

// Notes every notification and rejects it, so that the answer's way back shows.
class Recorder : public DirectPlay8Event {
public:
    std::vector<Call> calls;

    void DirectPlay8Event_AddRemovePlayerGroup(int32_t m, DPNID p, DPNID g, bool& r) override {
        note("AddRemovePlayerGroup", {m, p, g}, nullptr, r);
    }
    void DirectPlay8Event_AppDesc(bool& r) override { note("AppDesc", {}, nullptr, r); }
    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE& n, bool& r) override {
        note("AsyncOpComplete", {}, &n, r);
    }
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& n, bool& r) override {
        note("ConnectComplete", {}, &n, r);
    }
    void DirectPlay8Event_CreateGroup(DPNID g, DPNID o, bool& r) override {
        note("CreateGroup", {g, o}, nullptr, r);
    }
    void DirectPlay8Event_CreatePlayer(DPNID p, bool& r) override {
        note("CreatePlayer", {p}, nullptr, r);
    }
    void DirectPlay8Event_DestroyGroup(DPNID g, int32_t why, bool& r) override {
        note("DestroyGroup", {g, why}, nullptr, r);
    }
    void DirectPlay8Event_DestroyPlayer(DPNID p, int32_t why, bool& r) override {
        note("DestroyPlayer", {p, why}, nullptr, r);
    }
    void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY& n, bool& r) override {
        note("EnumHostsQuery", {}, &n, r);
    }
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE& n, bool& r) override {
        note("EnumHostsResponse", {}, &n, r);
    }
    void DirectPlay8Event_HostMigrate(DPNID h, bool& r) override {
        note("HostMigrate", {h}, nullptr, r);
    }
    void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT& n, bool& r) override {
        note("IndicateConnect", {}, &n, r);
    }
    void DirectPlay8Event_IndicatedConnectAborted(bool& r) override {
        note("IndicatedConnectAborted", {}, nullptr, r);
    }
    void DirectPlay8Event_InfoNotify(int32_t m, int32_t id, bool& r) override {
        note("InfoNotify", {m, id}, nullptr, r);
    }
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE& n, bool& r) override {
        note("Receive", {}, &n, r);
    }
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE& n, bool& r) override {
        note("SendComplete", {}, &n, r);
    }
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION& n, bool& r) override {
        note("TerminateSession", {}, &n, r);
    }

private:
    void note(const char* name, std::vector<int64_t> values, const void* message, bool& reject) {
        calls.push_back({name, std::move(values), message});
        reject = true;
    }
};

// One of each message, so that a row can tell whether the very object came through.
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
    std::function<void(DirectPlay8Event&, Messages&, bool&)> deliver;
};

std::vector<Row> everyNotification(Messages& m) {
    using E = DirectPlay8Event;
    return {
        {{"AddRemovePlayerGroup", {7, 0x101, 0x202}},
         [](E& e, Messages&, bool& r) {
             e.DirectPlay8Event_AddRemovePlayerGroup(7, 0x101, 0x202, r);
         }},
        {{"AppDesc", {}}, [](E& e, Messages&, bool& r) { e.DirectPlay8Event_AppDesc(r); }},
        {{"AsyncOpComplete", {}, &m.asyncOp},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_AsyncOpComplete(m.asyncOp, r); }},
        {{"ConnectComplete", {}, &m.connect},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_ConnectComplete(m.connect, r); }},
        {{"CreateGroup", {0x303, 0x404}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_CreateGroup(0x303, 0x404, r); }},
        {{"CreatePlayer", {0x505}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_CreatePlayer(0x505, r); }},
        {{"DestroyGroup", {0x606, 3}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_DestroyGroup(0x606, 3, r); }},
        {{"DestroyPlayer", {0x707, 2}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_DestroyPlayer(0x707, 2, r); }},
        {{"EnumHostsQuery", {}, &m.query},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_EnumHostsQuery(m.query, r); }},
        {{"EnumHostsResponse", {}, &m.response},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_EnumHostsResponse(m.response, r); }},
        {{"HostMigrate", {0x808}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_HostMigrate(0x808, r); }},
        {{"IndicateConnect", {}, &m.indicate},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_IndicateConnect(m.indicate, r); }},
        {{"IndicatedConnectAborted", {}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_IndicatedConnectAborted(r); }},
        {{"InfoNotify", {9, 0x909}},
         [](E& e, Messages&, bool& r) { e.DirectPlay8Event_InfoNotify(9, 0x909, r); }},
        {{"Receive", {}, &m.receive},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_Receive(m.receive, r); }},
        {{"SendComplete", {}, &m.sent},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_SendComplete(m.sent, r); }},
        {{"TerminateSession", {}, &m.terminate},
         [](E& e, Messages& m, bool& r) { e.DirectPlay8Event_TerminateSession(m.terminate, r); }},
    };
}

TEST(EventAdapters, TheForwarderHandsOnEveryNotificationAndTheAnswerComesBack) {
    Messages messages;
    const std::vector<Row> rows = everyNotification(messages);
    ASSERT_EQ(rows.size(), 17u);  // the whole interface
    Recorder target;
    DirectPlay8EventForwarder forwarder;
    forwarder.setForwardTarget(&target);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected.name);
        target.calls.clear();
        bool reject = false;
        row.deliver(forwarder, messages, reject);
        ASSERT_EQ(target.calls.size(), 1u);
        EXPECT_EQ(target.calls[0].name, row.expected.name);
        EXPECT_EQ(target.calls[0].values, row.expected.values);
        EXPECT_EQ(target.calls[0].message, row.expected.message);
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
        SCOPED_TRACE(row.expected.name);
        for (DirectPlay8Event* handler : {static_cast<DirectPlay8Event*>(&forwarder),
                                          static_cast<DirectPlay8Event*>(&adapter)}) {
            bool reject = false;
            row.deliver(*handler, messages, reject);
            EXPECT_FALSE(reject);
        }
    }
    EXPECT_TRUE(former.calls.empty());
}

}  // namespace
