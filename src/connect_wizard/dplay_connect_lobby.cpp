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
    desc.Description = QStringLiteral("Orvel");
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
    if (registeredLobby_ != 0) {
        const dx8::DPNHANDLE registered = registeredLobby_;
        registeredLobby_ = 0;
        try {
            registerLobbyConnection(registered, dx8::DPNLOBBY_UNREGISTER);
        } catch (const dx8::DxError& e) {
            qCDebug(lcWizard) << "unregistering the lobby connection failed"
                              << dx8::hresultHex(e.code());
        }
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
    if (!running() || state_ == State::Joining || !lobbyApp) {
        // Finished, or a join of page 1 is waiting for its answer: a second connect now would
        // be refused by the platform after the lobby had been told its settings were taken.
        fRejectMsg = true;
        return;
    }
    try {
        // A connection that came before (one without a player name) is given back first, so
        // that this one can take its place.
        if (registeredLobby_ != 0 && registeredLobby_ != dlNotify.ConnectId) {
            const dx8::DPNHANDLE earlier = registeredLobby_;
            registeredLobby_ = 0;
            registerLobbyConnection(earlier, dx8::DPNLOBBY_UNREGISTER);
        }
        lobbyConnection = dlNotify.ConnectId;
        const dx8::DPL_CONNECTION_SETTINGS settings =
            lobbyApp->GetConnectionSettings(lobbyConnection, 0);
        registerLobbyConnection(lobbyConnection, dx8::DPNLOBBY_REGISTER);
        registeredLobby_ = lobbyConnection;
        if (settings.PlayerName.isEmpty()) {
            ShowPage(ProviderPage);
            return;
        }
        userName_ = settings.PlayerName;
        if ((settings.lFlags & dx8::DPLCONNECTSETTINGS_HOST) != 0) {
            dx8::DPN_APPLICATION_DESC description = settings.ApplicationDescription;
            HostFromLobby(*addressAt(dlNotify.AddressDeviceUrl), description);
            return;
        }
        const auto device = addressAt(dlNotify.AddressDeviceUrl);
        const auto host = addressAt(dlNotify.AddressSenderUrl);
        announcePlayer();
        // A full session has been told of by the completion, which also showed page 1.
        joinSession(settings.ApplicationDescription, host.get(), device.get(), 0);
        if (lastConnect_ == dx8::DPNERR_INVALIDPASSWORD && !givenUp()) {
            tellWrongPassword(settings.ApplicationDescription.SessionName);
        }
    } catch (const dx8::DxError& e) {
        qCDebug(lcWizard) << "lobby connection ended with" << dx8::hresultHex(e.code());
    }
}

void DPlayConnect::HostFromLobby(dx8::DirectPlay8Address& address,
                                 dx8::DPN_APPLICATION_DESC& description) {
    // Whatever the lobby asked: the host role may move, and the session has our size.
    description.lFlags |= dx8::DPNSESSION_MIGRATE_HOST;
    description.lMaxPlayers = lMaxPlayers_;
    hostSession(description, &address, 0);
}

}  // namespace orvel
