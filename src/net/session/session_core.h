#pragma once

// The engine behind DirectPlay8Peer and DirectPlay8Client: one player's side of a full-mesh
// session on ENet. It keeps the public calls and hands the work to one role each: the links
// (EnetLinks), the session's roles (SessionRoles: the roster, the host's side of a join, the
// joiner's, the players' side of a running session, the relay), and discovery. It runs on the
// GUI thread, and every notification goes through SessionEvents. Private to this folder: the
// programs reach the session through the DirectPlay interfaces and session_extras.h.

#include <QElapsedTimer>
#include <QObject>
#include <map>
#include <memory>
#include <optional>

#include "platform/dx8/directplay8.h"
#include "net/paths/discovery.h"
#include "net/links/enet_links.h"
#include "net/session/session_events.h"
#include "net/session.h"
#include "net/session/session_roles.h"

namespace dx8 {

class SessionCore : public QObject, public LinkListener {
    Q_OBJECT
public:
    explicit SessionCore(bool clientOnly, QObject* parent = nullptr);
    ~SessionCore() override;

    void setHandler(DirectPlay8Event* handler) { events_->setHandler(handler); }
    DirectPlay8Event* handler() const { return events_->handler(); }

    int32_t serviceProviderCount() const { return 1; }
    DPN_SERVICE_PROVIDER_INFO serviceProvider(int32_t index) const;

    DPNHANDLE setLocalInfo(const DPN_PLAYER_INFO& info, int32_t flags);
    DPN_PLAYER_INFO playerInfo(DPNID id, int32_t flags) const;

    void host(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* device, int32_t flags);
    DPNHANDLE enumHosts(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                        const DirectPlay8Address* device, int32_t retryCount, int32_t retryInterval,
                        int32_t timeOut, int32_t flags);
    void cancel(DPNHANDLE handle, int32_t flags);
    // Never waits: with DPNOP_SYNC the outcome is kept for connectOutcome instead of told, and
    // the caller waits while connectUnderWay.
    DPNHANDLE connect(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                      const DirectPlay8Address* device, int32_t flags);
    bool connectUnderWay(DPNHANDLE handle) const;
    HRESULT connectOutcome() const;
    DPNHANDLE sendTo(DPNID target, const QByteArray& data, int32_t timeOut, int32_t flags);
    DPNHANDLE sendToHost(const QByteArray& data, int32_t timeOut, int32_t flags);
    void close(int32_t flags);

    // Hears how every join ends, as soon as it does, even while the handler is still busy (in a
    // box, say): for a lobby client that waits for the outcome.
    void setConnectObserver(std::function<void(HRESULT)> observer) {
        events_->setConnectObserver(std::move(observer));
    }

    // The UDP port the session runs on; 0 outside a session.
    uint16_t sessionPort() const { return links_->localPort(); }
    bool inSession() const { return roster_.inSession; }
    bool isHost() const { return roster_.isHost(); }
    DPNID localId() const { return roster_.localId; }

    // Coming back after a drop (come_back.h): what a new start needs, and that start.
    ReturnTicket returnTicket() const { return roles_.comeBack().ticket(); }
    DPNHANDLE comeBack(const ReturnTicket& ticket, int budgetMs);
    void setComeBackMs(int ms) { roles_.comeBack().setBudgetMs(ms); }

    WireStats wireStats() const { return links_->wireStats(); }
    JoinProgress joinProgress() const { return joiner_.progress(); }
    QString sessionName() const {
        return roster_.inSession || joiner_.accepted() ? roster_.desc.name : QString();
    }
    Reachability reachability() const;
    // What our router forwards to us; the players hear of a change.
    void setMappedEndpoint(Endpoint mapped);
    MeetStatus meetStatus() const { return roles_.meet().status(); }

protected:
    // What the links report: the roles take it, but for discovery.
    bool takesVisitors() const override { return roles_.takesVisitors(); }
    void linkUp(LinkId link, Link& state) override { roles_.linkUp(link, state); }
    void linkDown(LinkId link, const Link& state) override { roles_.linkDown(link, state); }
    void dataArrived(LinkId link, const Link& state, const QByteArray& data) override {
        Q_UNUSED(link);
        roles_.dataArrived(state, data);
    }
    void relayArrived(LinkId link, const Link& state, const QByteArray& packet,
                      bool guaranteed) override {
        Q_UNUSED(link);
        roles_.relayArrived(state, packet, guaranteed);
    }
    void controlArrived(LinkId link, const net::ControlMessage& m) override {
        roles_.controlArrived(link, m);
    }
    std::optional<QByteArray> queryArrived(const uint8_t* data, size_t size, uint32_t ip,
                                           uint16_t port) override;
    void meetArrived(const uint8_t* data, size_t size, Endpoint from) override {
        roles_.meet().receive(data, size, from);
    }
    void deadlinesDue() override { roles_.checkDeadlines(); }
    qint64 earliestDeadline() const override { return roles_.earliestDeadline(); }

private:
    // A join between Connect and its start: what it starts with.
    struct PendingJoin {
        DPNHANDLE handle = 0;
        bool sync = false;
        QUuid application;
        QUuid instance;
        QString password;
    };
    void lookedUp(DPNHANDLE handle, orvel::meet::Code code, const MeetLink::Found& found);
    bool startJoin(const PendingJoin& join, Endpoint host, std::optional<orvel::meet::Code> code);
    // A join that never started ends: told, or kept for a synchronous caller.
    void endJoin(const PendingJoin& join, HRESULT result);
    // Ends the join waiting for the meeting point, if any.
    bool cancelLookup(HRESULT result);
    void searchFinished(DPNHANDLE handle, HRESULT result);
    void leaveSession(bool announce);
    // Gives up the new start's way back of `handle`, as a connect cancelled; false when no such
    // way back is under way.
    bool cancelComeBack(DPNHANDLE handle);
    DPNHANDLE newHandle();
    qint64 now() const { return clock_.elapsed(); }

    const bool clientOnly_;
    QElapsedTimer clock_;
    DPNHANDLE nextHandle_ = 1;
    SessionEvents* events_;
    std::unique_ptr<EnetLinks> links_;
    SessionRoles roles_;
    Roster& roster_;
    Joiner& joiner_;
    QueryResponder responder_;
    std::map<DPNHANDLE, std::unique_ptr<HostSearch>> searches_;

    DPNHANDLE comeBackHandle_ = 0;  // the new start's way back, while it may be under way
    std::optional<PendingJoin> lookup_;  // a join by code, until the meeting point answers
    std::optional<HRESULT> syncOutcome_;  // of a synchronous join that never started
};

}  // namespace dx8
