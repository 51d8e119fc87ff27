#include "net/session/session_events.h"

#include "net/paths/address_text.h"

namespace dx8 {

SessionEvents::SessionEvents(QObject* parent)
    : QObject(parent), dispatcher_(new SerialDispatcher(this)) {}

void SessionEvents::post(std::function<void(DirectPlay8Event&)> call) {
    const QPointer<SessionEvents> self(this);
    dispatcher_->post([self, call = std::move(call)] {
        if (self && self->handler_) {
            call(*self->handler_);
        }
    });
}

void SessionEvents::createPlayer(DPNID id) {
    post([id](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_CreatePlayer(id, reject);
    });
}

void SessionEvents::destroyPlayer(DPNID id, int32_t reason, std::function<void()> delivered) {
    const QPointer<SessionEvents> self(this);
    dispatcher_->post([self, id, reason, delivered = std::move(delivered)] {
        if (!self) {
            return;
        }
        struct After {
            const std::function<void()>& run;
            ~After() {
                if (run) {
                    run();
                }
            }
        } after{delivered};
        if (self->handler_) {
            bool reject = false;
            self->handler_->DirectPlay8Event_DestroyPlayer(id, reason, reject);
        }
    });
}

void SessionEvents::hostMigrate(DPNID newHost) {
    post([newHost](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_HostMigrate(newHost, reject);
    });
}

void SessionEvents::infoNotify(DPNID id) {
    post([id](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_InfoNotify(DPN_MSGID_PEER_INFO, static_cast<int32_t>(id), reject);
    });
}

void SessionEvents::comingBack(DPNID self) {
    post([self](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_InfoNotify(DPN_MSGID_COMING_BACK, static_cast<int32_t>(self), reject);
    });
}

void SessionEvents::terminateSession(HRESULT result) {
    post([result](DirectPlay8Event& h) {
        DPNMSG_TERMINATE_SESSION m;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_TerminateSession(m, reject);
    });
}

void SessionEvents::indicateConnect(const QString& joinerUrl) {
    post([joinerUrl](DirectPlay8Event& h) {
        DPNMSG_INDICATE_CONNECT m;
        m.AddressPlayerUrl = joinerUrl;
        m.AddressDeviceUrl = deviceUrl();
        bool reject = false;
        h.DirectPlay8Event_IndicateConnect(m, reject);
    });
}

void SessionEvents::indicatedConnectAborted() {
    post([](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_IndicatedConnectAborted(reject);
    });
}

void SessionEvents::connectComplete(DPNHANDLE handle, HRESULT result) {
    if (connectObserver_) {
        connectObserver_(result);
    }
    post([handle, result](DirectPlay8Event& h) {
        DPNMSG_CONNECT_COMPLETE m;
        m.AsyncOpHandle = handle;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_ConnectComplete(m, reject);
    });
}

void SessionEvents::asyncOpComplete(DPNHANDLE handle, HRESULT result) {
    post([handle, result](DirectPlay8Event& h) {
        DPNMSG_ASYNC_OP_COMPLETE m;
        m.AsyncOpHandle = handle;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_AsyncOpComplete(m, reject);
    });
}

void SessionEvents::sendComplete(DPNHANDLE handle) {
    post([handle](DirectPlay8Event& h) {
        DPNMSG_SEND_COMPLETE m;
        m.AsyncOpHandle = handle;
        bool reject = false;
        h.DirectPlay8Event_SendComplete(m, reject);
    });
}

void SessionEvents::receive(DPNID from, const QByteArray& data, bool now) {
    auto deliver = [from, data](DirectPlay8Event& h) {
        DPNMSG_RECEIVE m;
        m.idSender = from;
        m.ReceivedData = data;
        m.lDataSize = static_cast<int32_t>(data.size());
        bool reject = false;
        h.DirectPlay8Event_Receive(m, reject);
    };
    if (!now) {
        post(std::move(deliver));
        return;
    }
    const QPointer<SessionEvents> self(this);
    dispatcher_->postOrRun([self, deliver = std::move(deliver)] {
        if (self && self->handler_) {
            deliver(*self->handler_);
        }
    });
}

void SessionEvents::enumHostsQuery(const QString& senderUrl) {
    post([senderUrl](DirectPlay8Event& h) {
        DPNMSG_ENUM_HOSTS_QUERY m;
        m.AddressSenderUrl = senderUrl;
        m.AddressDeviceUrl = deviceUrl();
        bool reject = false;
        h.DirectPlay8Event_EnumHostsQuery(m, reject);
    });
}

void SessionEvents::enumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE response) {
    post([response = std::move(response)](DirectPlay8Event& h) mutable {
        bool reject = false;
        h.DirectPlay8Event_EnumHostsResponse(response, reject);
    });
}

}  // namespace dx8
