// The wizard's state: the run loop and its waits, the close and unload rules, and the two ways
// into a session (one join, one hosting) that the pages and a lobby launch share.
#include <QCloseEvent>
#include <QDateTime>
#include <QEventLoop>
#include <QStackedWidget>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "connect_wizard/dplay_connect_private.h"
#include "session/restart_record.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

void DPlayConnect::enter(State next) {
    if (next == state_) {
        return;
    }
    qCDebug(lcWizard) << state_ << "->" << next;
    state_ = next;
    // Nobody sees the session list while the wizard is done, so its expiry may run on whole
    // seconds, together with the process's other slow timers, rather than wake it twice a second.
    const Qt::TimerType pace = next == State::Cancelled || next == State::InSession
                                   ? Qt::VeryCoarseTimer
                                   : Qt::CoarseTimer;
    if (tmrExpire->isActive() && tmrExpire->timerType() != pace) {
        tmrExpire->setTimerType(pace);
        tmrExpire->start();
    }
    wakeWaits();
}

void DPlayConnect::setSearch(Search next) {
    if (next != search_) {
        qCDebug(lcWizard) << search_ << "->" << next;
        search_ = next;
    }
}

// ---- The run ----------------------------------------------------------------------------------

bool DPlayConnect::RunWizard(std::shared_ptr<dx8::DirectX8> oDX, const QString& sGuid,
                             int32_t lMaxPlayers, dx8::DirectPlay8Event* oCallback,
                             bool fAllowMigrateHost) {
    enter(State::Choosing);
    setSearch(Search::Off);
    lastSession = -1;
    root_ = std::move(oDX);
    setForwardTarget(oCallback);
    guid_ = sGuid;
    lMaxPlayers_ = lMaxPlayers;

    PrepareProviderPage(fAllowMigrateHost);
    ShowPage(ProviderPage);

    lobbyApp = createLobbiedApplication ? createLobbiedApplication()
                                        : root_->DirectPlayLobbiedApplicationCreate();
    lobbyApp->RegisterMessageHandler(this);
    RegisterWithLobby(guid_);

    if (comeBackFromRecord()) {
        endLobbyConnection();
        return true;
    }
    show();
    qCDebug(lcWizard) << "wizard shown";
    waitUntil([this] { return wizardDone(); });
    // Nobody lists the answers once the wizard is done, and a search without end would go on
    // querying the network for the whole run.
    if (searching()) {
        stopSearch();
    }
    endLobbyConnection();
    return state_ == State::InSession;
}

void DPlayConnect::stopSearch() {
    setSearch(Search::Stopped);
    // Only the completion clears enumHandle.
    if (enumHandle == 0) {
        return;
    }
    try {
        if (dx8::DirectPlay8Session* s = session()) {
            s->CancelAsyncOperation(enumHandle, 0);
        }
    } catch (const dx8::DxError& e) {
        // The search has ended already (its completion is on its way); it is stopped either way.
        qCDebug(lcWizard) << "cancelling the search failed" << dx8::hresultHex(e.code());
    }
}

void DPlayConnect::GoUnload() {
    tmrExpire->stop();
    enter(State::Unloaded);
    close();
}

void DPlayConnect::closeEvent(QCloseEvent* event) {
    // Every request to unload ends the wizard and hides the window; only GoUnload lets the
    // window really go, so the wizard's state and properties outlive the run.
    hide();
    if (state_ != State::Unloaded) {
        if (!wizardDone()) {
            enter(State::Cancelled);
        }
        event->ignore();
        return;
    }
    event->accept();
    unloadWindow();
}

void DPlayConnect::unloadWindow() {
    closeLobbyApplication();
    deviceAddress.reset();
    // Nothing reaches the platform objects through the wizard any more (the handler has been
    // unregistered first), so they may go in the order the program releases them.
    peer_.reset();
    client_.reset();
    root_.reset();
}

void DPlayConnect::waitUntil(const std::function<bool()>& done) {
    while (!done()) {
        QEventLoop loop;
        waits_.push_back(&loop);
        loop.exec();
        waits_.erase(std::find(waits_.begin(), waits_.end(), &loop));
    }
}

void DPlayConnect::wakeWaits() {
    for (QEventLoop* loop : waits_) {
        loop->quit();
    }
}

// ---- Into a session ---------------------------------------------------------------------------

void DPlayConnect::announcePlayer() {
    dx8::DPN_PLAYER_INFO player;
    player.Name = userName_;
    player.lInfoFlags = dx8::DPNINFO_NAME;
    if (peer_) {
        peer_->SetPeerInfo(player, dx8::DPNSETPEERINFO_SYNC);
    } else if (client_) {
        client_->SetClientInfo(player, dx8::DPNSETCLIENTINFO_SYNC);
    }
}

std::shared_ptr<dx8::DirectPlay8Address> DPlayConnect::addressAt(const QString& url) const {
    std::shared_ptr<dx8::DirectPlay8Address> address = root_->DirectPlayAddressCreate();
    address->BuildFromURL(url);
    return address;
}

void DPlayConnect::joinSession(const dx8::DPN_APPLICATION_DESC& desc,
                               const dx8::DirectPlay8Address* host,
                               const dx8::DirectPlay8Address* device, int32_t flags,
                               const QString& what) {
    lastConnect_.reset();
    joinGivenUp_ = false;
    enter(State::Joining);
    // Cancel may come while Connect itself still waits (on a meeting point, say), before there is
    // a handle to cancel: the join is then given up as soon as there is one.
    dx8::DPNHANDLE handle = 0;
    joinWaitStarted(what, host, [this, &handle] {
        joinGivenUp_ = true;
        if (handle != 0) {
            cancelJoin(handle);
        }
    });
    try {
        if (dx8::DirectPlay8Session* s = session()) {
            handle = s->Connect(desc, host, device, flags, QByteArray(), 0);
        }
    } catch (...) {
        enter(State::Choosing);  // the join never started
        waitEnded();
        throw;
    }
    if (joinGivenUp_ && handle != 0 && state_ == State::Joining) {
        cancelJoin(handle);
    }
    // Closing the window ends this wait too, so a connect that never completes cannot keep a
    // hidden wizard waiting.
    waitUntil([this] { return state_ != State::Joining; });
    waitEnded();
    if (state_ == State::Choosing && connectOK()) {
        finish(false);
    }
}

void DPlayConnect::cancelJoin(dx8::DPNHANDLE handle) {
    try {
        if (dx8::DirectPlay8Session* s = session()) {
            s->CancelAsyncOperation(handle, 0);
        }
    } catch (const dx8::DxError& e) {
        // Over already: its completion is on its way.
        qCDebug(lcWizard) << "cancelling the join failed with" << dx8::hresultHex(e.code());
    }
}

void DPlayConnect::DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify,
                                                    bool& fRejectMsg) {
    qCDebug(lcWizard) << "ConnectComplete" << dx8::hresultHex(dpnotify.hResultCode);
    lastConnect_ = dpnotify.hResultCode;
    if (state_ == State::Joining) {
        enter(State::Choosing);
    }
    if (std::exchange(comingBack_, false) && dpnotify.hResultCode != dx8::DPN_OK) {
        return;  // not back: the pages come instead, nothing for the main window to tell
    }
    if (givenUp()) {
        ShowPage(SessionPage);  // the player's own choice: nothing to tell
        return;
    }
    if (dpnotify.hResultCode == dx8::DPNERR_SESSIONFULL) {
        MsgBox(this,
               QStringLiteral("The maximum number of people allowed in this session have already "
                              "joined.  Please choose a different session or create your own."),
               QStringLiteral("Full"), QMessageBox::Information,
               adviceFor(dx8::DPNERR_SESSIONFULL));
        ShowPage(SessionPage);
        return;
    }
    if (dpnotify.hResultCode == dx8::DPNERR_INVALIDPASSWORD) {
        // The join asks again, or tells of it; the peer is ready for another try.
        ShowPage(SessionPage);
        return;
    }
    // Any other result, failures too, ends the join; the main window reports a failure.
    DirectPlay8EventForwarder::DirectPlay8Event_ConnectComplete(dpnotify, fRejectMsg);
}

bool DPlayConnect::comeBackFromRecord() {
    const QString name = StoredUserName();
    const auto record = dx8::readRestartRecord(name, QDateTime::currentMSecsSinceEpoch());
    if (!peer_ || !record) {
        return false;
    }
    qCDebug(lcWizard) << "coming back to" << record->sessionName;
    userName_ = name;
    lastConnect_.reset();
    enter(State::Joining);
    comingBack_ = true;
    dx8::DPNHANDLE handle = 0;
    try {
        announcePlayer();
        handle = dx8::comeBackWith(peer_.get(), record->ticket, dx8::kRestartComeBackMs);
    } catch (const dx8::DxError& e) {
        qCDebug(lcWizard) << "coming back failed with" << dx8::hresultHex(e.code());
        comingBack_ = false;
        enter(State::Choosing);
    }
    // The wait shows; Cancel gives the way back up (its completion ends the wait and the pages
    // come), closing the window ends the program as ever.
    joinWaitStarted(QStringLiteral("\"%1\" again").arg(record->sessionName), nullptr,
                    [this, handle] { cancelJoin(handle); });
    pages_->setEnabled(false);
    show();
    waitUntil([this] { return state_ != State::Joining; });
    pages_->setEnabled(true);
    waitEnded();
    if (state_ == State::Choosing && lastConnect_ == dx8::DPN_OK) {
        sessionName_ = record->sessionName;
        finish(false);
        return true;
    }
    dx8::removeRestartRecord(name);
    return false;
}

void DPlayConnect::hostSession(const dx8::DPN_APPLICATION_DESC& desc,
                               const dx8::DirectPlay8Address* device, int32_t flags) {
    isHost_ = true;
    dx8::HRESULT failure = dx8::DPNERR_UNSUPPORTED;  // a client cannot host
    QString reason = QStringLiteral("only a peer can host");
    if (peer_) {
        try {
            announcePlayer();
            sessionName_ = desc.SessionName;
            peer_->Host(desc, device, flags);
            finish(true);
            return;
        } catch (const dx8::DxError& e) {
            qCDebug(lcWizard) << "hosting failed with" << dx8::hresultHex(e.code());
            failure = e.code();
            reason = QString::fromLocal8Bit(e.what());
        }
    }
    MsgBox(this, QStringLiteral("Unable to create session"), QStringLiteral("No session"),
           QMessageBox::Critical, hostingAdvice(failure, reason, portOfDevice(device)));
    isHost_ = false;
    ShowPage(SessionPage);
}

void DPlayConnect::finish(bool asHost) {
    isHost_ = asHost;
    deviceAddress.reset();
    handOverPeer();
    enter(State::InSession);
    close();
}

// The wizard has nothing more to do with the session's notifications: players, chat and car
// states go straight to the callback. The platform takes one handler at a time (it refuses a
// second with DPNERR_ALREADYINITIALIZED), so the wizard steps down first. The platform reads its
// handler as it delivers each notification and nothing is delivered between the two calls, so
// whatever is still queued goes to the callback, once each.
void DPlayConnect::handOverPeer() {
    dx8::DirectPlay8Session* platform = session();
    if (platform == nullptr) {
        return;
    }
    platform->UnRegisterMessageHandler();
    if (dx8::DirectPlay8Event* callback = forwardTarget()) {
        try {
            platform->RegisterMessageHandler(callback);
        } catch (const dx8::DxError& e) {
            qCDebug(lcWizard) << "handing the peer over failed with" << dx8::hresultHex(e.code());
        }
    }
}

}  // namespace orvel
