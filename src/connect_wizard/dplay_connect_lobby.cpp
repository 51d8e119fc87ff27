// Page 3 and the lobby registration. A lobby connection itself is not taken up yet: the lobby
// notifications are accepted and left alone.
#include <QCoreApplication>
#include <QFileInfo>

#include "connect_wizard/dplay_connect_private.h"

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

void DPlayConnect::DirectPlay8LobbyEvent_Connect(dx8::DPL_MESSAGE_CONNECT&, bool&) {}
void DPlayConnect::DirectPlay8LobbyEvent_ConnectionSettings(dx8::DPL_MESSAGE_CONNECTION_SETTINGS&) {
}
void DPlayConnect::DirectPlay8LobbyEvent_Disconnect(dx8::DPNHANDLE, int32_t) {}
void DPlayConnect::DirectPlay8LobbyEvent_Receive(dx8::DPL_MESSAGE_RECEIVE&, bool&) {}
void DPlayConnect::DirectPlay8LobbyEvent_SessionStatus(int32_t, dx8::DPNHANDLE) {}

}  // namespace orvel
