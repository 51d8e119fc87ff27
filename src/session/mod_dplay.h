#pragma once

// The DirectX objects shared by the whole program, created once at start-up and released once at
// shutdown, the connection wizard that start-up runs and that serves waits and closes until the
// end, and the race session between the peer and the rest of the program.

#include <QLoggingCategory>
#include <QString>
#include <cstdint>
#include <memory>

#include "net/paths/port_mapper.h"
#include "platform/dx8/directx8.h"
#include "session/race_session.h"
#include "session/restart_record.h"

class QObject;

Q_DECLARE_LOGGING_CATEGORY(lcStartup)

namespace orvel {

// The application GUID of Kartova sessions: searched for, hosted and registered under it.
inline const QString kApplicationGuid = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
// Largest session: the local player plus one remote player per remote car slot.
constexpr int32_t kMaxSessionPlayers = 6;

// What the rest of the program uses of the connection wizard. The wizard window implements it;
// this module holds the wizard through it so that it never depends on a window.
class ConnectWizard {
public:
    virtual ~ConnectWizard() = default;

    // Runs the wizard; returns only when it has finished. True when a session was joined or
    // created: oCallback is the peer's handler from then on (the wizard hands it every
    // notification while it runs).
    virtual bool StartConnectWizard(std::shared_ptr<dx8::DirectX8> oDX,
                                    std::shared_ptr<dx8::DirectPlay8Peer> oDPP,
                                    const QString& sGuid, int32_t lMaxPlayers,
                                    dx8::DirectPlay8Event* oCallback, bool fAllowMigrateHost) = 0;
    // Asks oForm (a window) to close once the caller's current handler has returned.
    virtual void CloseForm(QObject* oForm) = 0;
    // Waits lMilliSec milliseconds, keeping the windows alive, then handles what is pending.
    virtual void DoSleep(int32_t lMilliSec) = 0;
    virtual bool IsHost() const = 0;
    virtual QString SessionName() const = 0;
    virtual QString UserName() const = 0;
    // Stops the wizard's timer and unloads its window for good.
    virtual void GoUnload() = 0;
    virtual int32_t NumPlayers() const = 0;
};

// The objects the program shares from start-up to shutdown: the DirectX objects, the connection
// wizard, the port mapping and the race session. One is made by the program and handed to the
// windows; each object is empty until created and empty again after release.
class ModDplay {
public:
    std::shared_ptr<dx8::DirectX8> dxRoot;
    std::shared_ptr<dx8::DirectPlay8Peer> dpPeer;
    std::shared_ptr<dx8::DirectInput8> diInput;
    std::shared_ptr<dx8::DirectInputDevice8> diKeyboard;
    int32_t keyboardEvent = 0;  // 0 = none
    std::unique_ptr<ConnectWizard> connectWizard;
    // Set when shutdown could not leave the session cleanly; the program then ends with a failure.
    bool releaseFailed = false;
    // Asks the home router to forward the session port while the session lasts; null when off.
    std::unique_ptr<net::PortMapper> portMapper;
    // Every notification of the peer for the whole run: handed on by the wizard while it runs,
    // the peer's own handler once in a session. Sends through dpPeer.
    RaceSession raceSession{dpPeer};
    // Our way back into the session should the program end without leaving it; kept from the
    // join on, and gone once ReleaseDirectXObjects leaves properly.
    dx8::RestartRecordKeeper restartRecord{dpPeer};

    // Once in a session: starts port mapping for dpPeer's port unless the setting "PortMapping"
    // is "0". ReleaseDirectXObjects and DropDirectXObjects give the mapping back.
    void StartPortMapping();

    // Creates the root object, the peer and the background keyboard device. window is the main
    // window's native id (for the keyboard's cooperative level); keyboardCallback receives the
    // keyboard notification. A failing step raises dx8::DxError and leaves the earlier objects
    // set.
    void CreateDirectXObjects(uintptr_t window, dx8::DirectXEvent8* keyboardCallback);

    // Unregisters the peer's handler (the race session, or the wizard when it never got into a
    // session), unloads the wizard, leaves the session and drops every object in order. With no
    // wizard it only clears that reference. Failures of the steps up to the second wait raise
    // dx8::DxError (the wizard reference is then still set); later failures are ignored.
    void ReleaseDirectXObjects();

    // Drops whatever objects are still held, in release order, ignoring every failure. For the
    // end of a start-up that failed before the wizard existed.
    void DropDirectXObjects();

private:
    void StopPortMapping();
};

}  // namespace orvel
