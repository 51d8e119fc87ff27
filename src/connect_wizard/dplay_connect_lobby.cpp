// Page 3, the lobby registration, and the lobby launch: a lobby connection hosts or joins the
// session its settings name, with no questions asked, on whatever page is shown.
#include <QCoreApplication>
#include <QFileInfo>

#include "connect_wizard/dplay_connect_private.h"
#include "ui_common/message_box.h"

namespace orvel {

void DPlayConnect::RegisterWithLobby(const QString& guid) {
    // Registered at every start, so the registration always names the current file and folder.
    const QFileInfo program(QCoreApplication::applicationFilePath());
    dx8::DPL_PROGRAM_DESC desc;
    desc.lFlags = 0;
    desc.guidApplication = guid;
    desc.ApplicationName = program.completeBaseName();
    desc.Description = QStringLiteral("VB DirectPlay SDK Sample");
    // The file a lobby client starts: the program's own file name as it lies on this system.
    desc.ExecutableFilename = program.fileName();
    desc.ExecutablePath = program.absolutePath();
    desc.LauncherFilename = desc.ExecutableFilename;
    desc.LauncherPath = desc.ExecutablePath;
    lobbyApp->RegisterProgram(desc, 0);
}

void DPlayConnect::cmdCancelLobby_Click() {
    pageAction(QStringLiteral("Unable to leave the lobby wait."), [this] {
        if (lobbyApp) {
            lobbyApp->SetAppAvailable(false, 0);
        }
    });
    ShowPage(ProviderPage);
}

void DPlayConnect::registerLobbyConnection(dx8::DPNHANDLE handle, int32_t flags) {
    if (dx8::DirectPlay8Session* s = session()) {
        s->RegisterLobby(handle, lobbyApp.get(), flags);
    }
}

void DPlayConnect::endLobbyConnection() {
    // The program is running in its session by now: a lobby connection that cannot be given
    // back cleanly is no reason to end it.
    if (lobbyConnection != 0 && lobbyRegistered_) {
        try {
            registerLobbyConnection(lobbyConnection, dx8::DPNLOBBY_UNREGISTER);
        } catch (const dx8::DxError& e) {
            qCDebug(lcWizard) << "unregistering the lobby connection failed"
                              << dx8::hresultHex(e.code());
        }
        lobbyRegistered_ = false;
    }
    closeLobbyApplication();
}

void DPlayConnect::closeLobbyApplication() {
    if (lobbyApp) {
        try {
            lobbyApp->Close();
        } catch (const dx8::DxError& e) {
            qCDebug(lcWizard) << "closing the lobbied application failed"
                              << dx8::hresultHex(e.code());
        }
        lobbyApp.reset();
    }
}

void DPlayConnect::DirectPlay8LobbyEvent_Connect(dx8::DPL_MESSAGE_CONNECT& dlNotify,
                                                 bool& fRejectMsg) {
    qCDebug(lcWizard) << "lobby connection" << dlNotify.ConnectId;
    if (wizardDone || joining_ || !lobbyApp) {
        // Finished, or a join of page 1 is waiting for its answer: a second connect now would
        // be refused by the platform after the lobby had been told its settings were taken.
        fRejectMsg = true;
        return;
    }
    try {
        // A connection that came before (one without a player name) is given back first, so
        // that this one can take its place.
        if (lobbyRegistered_ && lobbyConnection != dlNotify.ConnectId) {
            const dx8::DPNHANDLE earlier = lobbyConnection;
            lobbyRegistered_ = false;
            registerLobbyConnection(earlier, dx8::DPNLOBBY_UNREGISTER);
        }
        lobbyConnection = dlNotify.ConnectId;
        const dx8::DPL_CONNECTION_SETTINGS settings =
            lobbyApp->GetConnectionSettings(lobbyConnection, 0);
        registerLobbyConnection(lobbyConnection, dx8::DPNLOBBY_REGISTER);
        lobbyRegistered_ = true;
        if (settings.PlayerName.isEmpty()) {
            ShowPage(ProviderPage);
            return;
        }
        userName_ = settings.PlayerName;

        if ((settings.lFlags & dx8::DPLCONNECTSETTINGS_HOST) != 0) {
            std::shared_ptr<dx8::DirectPlay8Address> address = root_->DirectPlayAddressCreate();
            address->BuildFromURL(dlNotify.AddressDeviceUrl);
            dx8::DPN_APPLICATION_DESC description = settings.ApplicationDescription;
            if (HostFromLobby(*address, description)) {
                isHost_ = true;
                wizardResult = true;
                deviceAddress.reset();
                finishWizard();
                return;
            }
            reportHostingFailure();
            isHost_ = false;
            ShowPage(SessionPage);
            return;
        }

        dx8::DPN_PLAYER_INFO player;
        player.Name = userName_;
        player.lInfoFlags = dx8::DPNINFO_NAME;
        std::shared_ptr<dx8::DirectPlay8Address> device = root_->DirectPlayAddressCreate();
        device->BuildFromURL(dlNotify.AddressDeviceUrl);
        std::shared_ptr<dx8::DirectPlay8Address> host = root_->DirectPlayAddressCreate();
        host->BuildFromURL(dlNotify.AddressSenderUrl);
        if (peer_) {
            peer_->SetPeerInfo(player, dx8::DPNSETPEERINFO_SYNC);
        } else if (client_) {
            client_->SetClientInfo(player, dx8::DPNSETCLIENTINFO_SYNC);
        }
        connectDone = false;
        connectOK = false;
        joining_ = true;
        struct JoinEnd {
            bool& flag;
            ~JoinEnd() { flag = false; }
        } joinEnd{joining_};
        if (dx8::DirectPlay8Session* s = session()) {
            s->Connect(settings.ApplicationDescription, host.get(), device.get(), 0, QByteArray(),
                       0);
        }
        // Closing the window ends this wait too, so a connect that never completes cannot keep
        // a hidden wizard waiting.
        waitUntil([this] { return connectDone || wizardDone; });
        if (connectOK) {
            wizardResult = true;
            isHost_ = false;
            deviceAddress.reset();
            finishWizard();
        }
        // Otherwise the completion has already said why ("Full") and shown page 1.
    } catch (const dx8::DxError& e) {
        qCDebug(lcWizard) << "lobby connection ended with" << dx8::hresultHex(e.code());
    }
}

bool DPlayConnect::HostFromLobby(dx8::DirectPlay8Address& address,
                                 dx8::DPN_APPLICATION_DESC& description) {
    hostFailure_ = dx8::DPNERR_UNSUPPORTED;
    hostFailureReason_ = QStringLiteral("only a peer can host");
    hostFirstPort_ = portOfDevice(&address);
    if (!peer_) {
        return false;  // a client cannot host
    }
    try {
        dx8::DPN_PLAYER_INFO player;
        player.Name = userName_;
        player.lInfoFlags = dx8::DPNINFO_NAME;
        peer_->SetPeerInfo(player, dx8::DPNSETPEERINFO_SYNC);
        // Whatever the lobby asked: the host role may move, and the session has our size.
        description.lFlags |= dx8::DPNSESSION_MIGRATE_HOST;
        description.lMaxPlayers = lMaxPlayers_;
        sessionName_ = description.SessionName;
        peer_->Host(description, &address, 0);
    } catch (const dx8::DxError& e) {
        qCDebug(lcWizard) << "hosting for the lobby failed with" << dx8::hresultHex(e.code());
        hostFailure_ = e.code();
        hostFailureReason_ = QString::fromLocal8Bit(e.what());
        return false;
    }
    return true;
}

}  // namespace orvel
