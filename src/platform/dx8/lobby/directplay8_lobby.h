#pragma once

// DirectPlay 8 lobby stand-in: the lobbied application (the program side of a lobby launch) and
// its event interface. Failures raise dx8::DxError. Lobby notifications reach the registered
// handler on the GUI thread, one at a time among themselves; peer notifications may still be
// delivered while a lobby handler waits.
//
// Underneath: RegisterProgram writes a per-user registration that lobby clients (orvel-lobby)
// read to launch the program; SetAppAvailable(true) listens for lobby clients on a socket that
// only this user can reach; a program launched by a lobby client finds its connection in its
// environment once a handler is registered. Each accepted lobby request arrives as a Connect
// notification, GetConnectionSettings tells the lobby client that its settings were taken, and
// UpdateStatus how the session went.
// lobby_protocol.h has the files, sockets and messages.

#include <QString>

#include "platform/dx8/dx8_types.h"

namespace dx8 {

// SetAppAvailable: lobby clients may keep connecting after the first one (without it, the first
// accepted connection ends the availability).
constexpr int32_t DPLAVAILABLE_ALLOWMULTIPLECONNECT = 0x0001;

// The program's description, registered so that lobby clients can launch it.
struct DPL_PROGRAM_DESC {
    int32_t lFlags = 0;
    QString guidApplication;
    QString ApplicationName;
    QString CommandLine;
    QString CurrentDirectory;
    QString Description;
    QString ExecutableFilename;
    QString ExecutablePath;
    QString LauncherFilename;
    QString LauncherPath;
};

// What the lobby hands over for one connection.
struct DPL_CONNECTION_SETTINGS {
    int32_t lSize = 0;
    int32_t lFlags = 0;  // DPLCONNECTSETTINGS_HOST: this player is to host
    DPN_APPLICATION_DESC ApplicationDescription;
    QString PlayerName;
    QString AddressSenderUrl;  // the host's address
    QString AddressDeviceUrl;  // the local device to use
};

struct DPL_MESSAGE_CONNECT {
    DPNHANDLE ConnectId = 0;
    QString AddressSenderUrl;  // host address URL
    QString AddressDeviceUrl;  // device address URL
};

struct DPL_MESSAGE_CONNECTION_SETTINGS {
    DPNHANDLE hSender = 0;
    DPL_CONNECTION_SETTINGS ConnectionSettings;
};

struct DPL_MESSAGE_RECEIVE {
    DPNHANDLE Sender = 0;
    QByteArray Buffer;
    int32_t lBufferSize = 0;
};

class DirectPlay8LobbyEvent {
public:
    virtual ~DirectPlay8LobbyEvent() = default;
    virtual void DirectPlay8LobbyEvent_Connect(DPL_MESSAGE_CONNECT& dlNotify, bool& fRejectMsg) = 0;
    virtual void DirectPlay8LobbyEvent_ConnectionSettings(
        DPL_MESSAGE_CONNECTION_SETTINGS& ConnectionSettings) = 0;
    virtual void DirectPlay8LobbyEvent_Disconnect(DPNHANDLE DisconnectID, int32_t lReason) = 0;
    virtual void DirectPlay8LobbyEvent_Receive(DPL_MESSAGE_RECEIVE& dlNotify, bool& fRejectMsg) = 0;
    virtual void DirectPlay8LobbyEvent_SessionStatus(int32_t status, DPNHANDLE lHandle) = 0;
};

class DirectPlay8LobbiedApplication {
public:
    virtual ~DirectPlay8LobbiedApplication() = default;

    virtual void RegisterMessageHandler(DirectPlay8LobbyEvent* handler) = 0;
    virtual void UnRegisterMessageHandler() = 0;
    virtual void RegisterProgram(const DPL_PROGRAM_DESC& programDesc, int32_t lFlags) = 0;
    virtual void UnRegisterProgram(const QString& guidApplication, int32_t lFlags) = 0;
    virtual void SetAppAvailable(bool fAvailable, int32_t lFlags) = 0;
    virtual DPL_CONNECTION_SETTINGS GetConnectionSettings(DPNHANDLE hLobbyClient,
                                                          int32_t lFlags) = 0;
    // Tells the lobby client how its session went (DPLSESSION_*). A peer registered with the
    // connection (RegisterLobby) does this by itself once its connect or hosting has an
    // outcome. hrResult is that outcome's code, for a lobby client that says why.
    virtual void UpdateStatus(DPNHANDLE hLobbyClient, int32_t lStatus, int32_t lFlags,
                              HRESULT hrResult) = 0;
    virtual void Close() = 0;
};

}  // namespace dx8
