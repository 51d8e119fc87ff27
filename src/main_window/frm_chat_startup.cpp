// Start-up and shutdown of the program: the main window's load and unload.
#include <QCheckBox>
#include <QTimer>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect.h"
#include "game_link/tick_pacer.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"

namespace orvel {

namespace {

// A close request (a connect failure reported while the wizard still waits, say) can reach the
// main window before its start-up has finished. Shutting down then would pull the objects away
// from under start-up, so the request waits until start-up is through.
bool loading = false;
bool unloadDeferred = false;

}  // namespace

bool frmChat::Form_Load() {
    loading = true;
    unloadDeferred = false;
    struct LoadEnd {
        ~LoadEnd() { loading = false; }
    } loadEnd;

    ModDplay& dx = modDplay;
    dx.CreateDirectXObjects(static_cast<uintptr_t>(winId()), this);

    qCDebug(lcStartup) << "create connectWizard";
    dx.connectWizard = std::make_unique<DPlayConnect>();
    // The race session takes every notification from the start, so players reported while the
    // wizard still runs are in the roster when the window shows.
    const bool joined = dx.connectWizard->StartConnectWizard(
        dx.dxRoot, dx.dpPeer, kApplicationGuid, kMaxSessionPlayers, &dx.raceSession, true);
    qCDebug(lcStartup) << "wizard result" << joined;
    if (!joined) {
        dx.ReleaseDirectXObjects();
        return false;
    }
    if (unloadDeferred) {
        loading = false;
        Form_Unload();
        return false;
    }

    dx.StartPortMapping();
    dx.restartRecord.start();
    localPlayerName = dx.connectWizard->UserName();
    if (dx.connectWizard->IsHost()) {
        setWindowTitle(windowTitle() + kHostMark);
    }
    watchInternet(dx.connectWizard->IsHost());
    // Only the exact text "1" chooses the MX edition.
    setMxChecked(GetDefault(QStringLiteral("GameVersion")) == QStringLiteral("1"));
    qCDebug(lcStartup) << "caption" << windowTitle() << "mx" << mx->isChecked();
    return true;
}

void frmChat::Form_Unload() {
    if (loading) {
        unloadDeferred = true;
        return;
    }
    qCDebug(lcStartup) << "unload main window";
    hide();
    ModDplay& dx = modDplay;
    if (dx.connectWizard) {
        dx.connectWizard->DoSleep(50);
    }
    try {
        dx.ReleaseDirectXObjects();
    } catch (const dx8::DxError& e) {
        // The session could not be left cleanly; everything else still goes, and the program
        // ends with a failure status.
        qCritical("Orvel: shutdown failed with error %s", qPrintable(dx8::hresultHex(e.code())));
        dx.releaseFailed = true;
        dx.DropDirectXObjects();
        dx.connectWizard.reset();
    }
    // The game link has nothing left to send through.
    pacer_->stop();
    Timer1->stop();
}

}  // namespace orvel
