#pragma once

// The notifications a session gives its handler, one method each, every one built here and
// delivered in order through a SerialDispatcher.

#include <QObject>
#include <QPointer>
#include <functional>

#include "platform/dx8/directplay8.h"
#include "platform/dx8/serial_dispatcher.h"

namespace dx8 {

class SessionEvents : public QObject {
    Q_OBJECT
public:
    explicit SessionEvents(QObject* parent = nullptr);

    void setHandler(DirectPlay8Event* handler) { handler_ = handler; }
    // Told of every connect's result as soon as it is known, before the handler hears of it.
    void setConnectObserver(std::function<void(HRESULT)> observer) {
        connectObserver_ = std::move(observer);
    }
    DirectPlay8Event* handler() const { return handler_; }
    SerialDispatcher& dispatcher() { return *dispatcher_; }
    void discardPending() { dispatcher_->discardPending(); }

    void createPlayer(DPNID id);
    // `delivered` runs once the notification has been handled (even if the handler threw).
    void destroyPlayer(DPNID id, int32_t reason, std::function<void()> delivered);
    void hostMigrate(DPNID newHost);
    void infoNotify(DPNID id);
    // We are cut off from every player and try to come back (`self`: our id).
    void comingBack(DPNID self);
    void terminateSession(HRESULT result);
    void indicateConnect(const QString& joinerUrl);
    void indicatedConnectAborted();
    void connectComplete(DPNHANDLE handle, HRESULT result);
    void asyncOpComplete(DPNHANDLE handle, HRESULT result);
    void sendComplete(DPNHANDLE handle);
    // Data is the bulk of the traffic: `now` delivers it straight away when nothing else waits.
    void receive(DPNID from, const QByteArray& data, bool now = false);
    void enumHostsQuery(const QString& senderUrl);
    void enumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE response);

private:
    void post(std::function<void(DirectPlay8Event&)> call);

    SerialDispatcher* dispatcher_;
    DirectPlay8Event* handler_ = nullptr;
    std::function<void(HRESULT)> connectObserver_;
};

}  // namespace dx8
