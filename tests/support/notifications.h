#pragma once
// Every notification of the peer's event interface as a table a test walks, and one handler that
// notes each notification it receives: for the tests of what hands notifications on. Handlers
// that care about a few notifications only derive from dx8::DirectPlay8EventAdapter instead.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/dx8/directx8.h"

namespace orvel::testing {

// A notification as it arrived: its place in the interface, then its arguments (a message by
// its address, so that a copy would show).
using Notification = std::vector<int64_t>;

inline int64_t addressOf(const void* message) {
    return reinterpret_cast<intptr_t>(message);
}

// The messages the rows deliver; a test may fill them in first.
struct NotificationMessages {
    dx8::DPNMSG_ASYNC_OP_COMPLETE asyncOp;
    dx8::DPNMSG_CONNECT_COMPLETE connect;
    dx8::DPNMSG_ENUM_HOSTS_QUERY query;
    dx8::DPNMSG_ENUM_HOSTS_RESPONSE response;
    dx8::DPNMSG_INDICATE_CONNECT indicate;
    dx8::DPNMSG_RECEIVE receive;
    dx8::DPNMSG_SEND_COMPLETE sent;
    dx8::DPNMSG_TERMINATE_SESSION terminate;
};

struct NotificationRow {
    Notification expected;
    std::function<void(dx8::DirectPlay8Event&, bool&)> deliver;
};

// Every notification of the interface, in its order, with arguments no two rows share.
inline std::vector<NotificationRow> everyNotification(NotificationMessages& m) {
    using E = dx8::DirectPlay8Event;
    // clang-format off
    return {
        {{0, 7, 0x101, 0x202}, [](E& e, bool& r) { e.DirectPlay8Event_AddRemovePlayerGroup(7, 0x101, 0x202, r); }},
        {{1}, [](E& e, bool& r) { e.DirectPlay8Event_AppDesc(r); }},
        {{2, addressOf(&m.asyncOp)}, [&m](E& e, bool& r) { e.DirectPlay8Event_AsyncOpComplete(m.asyncOp, r); }},
        {{3, addressOf(&m.connect)}, [&m](E& e, bool& r) { e.DirectPlay8Event_ConnectComplete(m.connect, r); }},
        {{4, 0x303, 0x404}, [](E& e, bool& r) { e.DirectPlay8Event_CreateGroup(0x303, 0x404, r); }},
        {{5, 0x505}, [](E& e, bool& r) { e.DirectPlay8Event_CreatePlayer(0x505, r); }},
        {{6, 0x606, 3}, [](E& e, bool& r) { e.DirectPlay8Event_DestroyGroup(0x606, 3, r); }},
        {{7, 0x707, 2}, [](E& e, bool& r) { e.DirectPlay8Event_DestroyPlayer(0x707, 2, r); }},
        {{8, addressOf(&m.query)}, [&m](E& e, bool& r) { e.DirectPlay8Event_EnumHostsQuery(m.query, r); }},
        {{9, addressOf(&m.response)}, [&m](E& e, bool& r) { e.DirectPlay8Event_EnumHostsResponse(m.response, r); }},
        {{10, 0x808}, [](E& e, bool& r) { e.DirectPlay8Event_HostMigrate(0x808, r); }},
        {{11, addressOf(&m.indicate)}, [&m](E& e, bool& r) { e.DirectPlay8Event_IndicateConnect(m.indicate, r); }},
        {{12}, [](E& e, bool& r) { e.DirectPlay8Event_IndicatedConnectAborted(r); }},
        {{13, 9, 0x909}, [](E& e, bool& r) { e.DirectPlay8Event_InfoNotify(9, 0x909, r); }},
        {{14, addressOf(&m.receive)}, [&m](E& e, bool& r) { e.DirectPlay8Event_Receive(m.receive, r); }},
        {{15, addressOf(&m.sent)}, [&m](E& e, bool& r) { e.DirectPlay8Event_SendComplete(m.sent, r); }},
        {{16, addressOf(&m.terminate)}, [&m](E& e, bool& r) { e.DirectPlay8Event_TerminateSession(m.terminate, r); }},
    };
    // clang-format on
}

// Notes every notification it receives and rejects it, so that the answer's way back shows.
class NotificationLog : public dx8::DirectPlay8Event {
public:
    std::vector<Notification> calls;

    // clang-format off
    void DirectPlay8Event_AddRemovePlayerGroup(int32_t m, dx8::DPNID p, dx8::DPNID g, bool& r) override { note({0, m, p, g}, r); }
    void DirectPlay8Event_AppDesc(bool& r) override { note({1}, r); }
    void DirectPlay8Event_AsyncOpComplete(dx8::DPNMSG_ASYNC_OP_COMPLETE& n, bool& r) override { note({2, addressOf(&n)}, r); }
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& n, bool& r) override { note({3, addressOf(&n)}, r); }
    void DirectPlay8Event_CreateGroup(dx8::DPNID g, dx8::DPNID o, bool& r) override { note({4, g, o}, r); }
    void DirectPlay8Event_CreatePlayer(dx8::DPNID p, bool& r) override { note({5, p}, r); }
    void DirectPlay8Event_DestroyGroup(dx8::DPNID g, int32_t why, bool& r) override { note({6, g, why}, r); }
    void DirectPlay8Event_DestroyPlayer(dx8::DPNID p, int32_t why, bool& r) override { note({7, p, why}, r); }
    void DirectPlay8Event_EnumHostsQuery(dx8::DPNMSG_ENUM_HOSTS_QUERY& n, bool& r) override { note({8, addressOf(&n)}, r); }
    void DirectPlay8Event_EnumHostsResponse(dx8::DPNMSG_ENUM_HOSTS_RESPONSE& n, bool& r) override { note({9, addressOf(&n)}, r); }
    void DirectPlay8Event_HostMigrate(dx8::DPNID h, bool& r) override { note({10, h}, r); }
    void DirectPlay8Event_IndicateConnect(dx8::DPNMSG_INDICATE_CONNECT& n, bool& r) override { note({11, addressOf(&n)}, r); }
    void DirectPlay8Event_IndicatedConnectAborted(bool& r) override { note({12}, r); }
    void DirectPlay8Event_InfoNotify(int32_t m, int32_t id, bool& r) override { note({13, m, id}, r); }
    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& n, bool& r) override { note({14, addressOf(&n)}, r); }
    void DirectPlay8Event_SendComplete(dx8::DPNMSG_SEND_COMPLETE& n, bool& r) override { note({15, addressOf(&n)}, r); }
    void DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& n, bool& r) override { note({16, addressOf(&n)}, r); }
    // clang-format on

private:
    void note(Notification call, bool& reject) {
        calls.push_back(std::move(call));
        reject = true;
    }
};

}  // namespace orvel::testing
