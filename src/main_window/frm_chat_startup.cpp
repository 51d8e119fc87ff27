// Start-up and shutdown of the program: the main window's load and unload.
#include <QCheckBox>
#include <QTimer>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect.h"
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

    CreateDirectXObjects(static_cast<uintptr_t>(winId()), this);

    qCDebug(lcStartup) << "create connectWizard";
    connectWizard = std::make_unique<DPlayConnect>();
    const bool joined = connectWizard->StartConnectWizard(dxRoot, dpPeer, kApplicationGuid,
                                                          kMaxSessionPlayers, this, true);
    qCDebug(lcStartup) << "wizard result" << joined;
    if (!joined) {
        ReleaseDirectXObjects();
        return false;
    }
    if (unloadDeferred) {
        loading = false;
        Form_Unload();
        return false;
    }

    StartPortMapping();
    localPlayerName = connectWizard->UserName();
    if (connectWizard->IsHost()) {
        setWindowTitle(windowTitle() + kHostMark);
    }
    watchInternet(connectWizard->IsHost());
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
    if (connectWizard) {
        connectWizard->DoSleep(50);
    }
    try {
        ReleaseDirectXObjects();
    } catch (const dx8::DxError& e) {
        // The session could not be left cleanly; everything else still goes, and the program
        // ends with a failure status.
        qCritical("Orvel: shutdown failed with error %s", qPrintable(dx8::hresultHex(e.code())));
        releaseFailed = true;
        DropDirectXObjects();
        connectWizard.reset();
    }
    // The game link has nothing left to send through.
    Timer1->stop();
}

}  // namespace orvel
