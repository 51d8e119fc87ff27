// The race session as the main window shows it: the roster, join and leave lines, received chat
// and whispers, the host mark, and the boxes for the end of a session and a failed connect.
#include <QLineEdit>
#include <QListWidget>

#include "game_link/remote_cars.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "session/roster_lines.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

void frmChat::followSession() {
    RaceSession& session = modDplay.raceSession;
    session.onChatLine([this](const QString& name, const QString& text) {
        AddChatLine(QStringLiteral("<") + name + QStringLiteral("> ") + text);
    });
    session.onWhisper([this](const QString& name, const QString& text) {
        AddChatLine(QStringLiteral("**<") + name + QStringLiteral(">** ") + text);
    });
    session.onChatSent([this](const QString& text) {
        txtSend->clear();
        AddChatLine(QStringLiteral("<") + localPlayerName + QStringLiteral(">") + text);
    });
    session.onPlayerJoined([this](const SessionPlayer& p) { playerJoined(p); });
    session.onPlayerLeft([this](const SessionPlayer& p) { playerLeft(p); });
    session.onGameChanged([this](const SessionPlayer& p) { playerGameChanged(p); });
    session.onHostChanged([this](const SessionPlayer& p) { hostChanged(p); });
    session.onSessionEnded([this](dx8::HRESULT code) { sessionEnded(code); });
    session.onConnectFailed([this](dx8::HRESULT code) { connectFailed(code); });
    // The roster stays as it was meanwhile; what changed is told once back.
    session.onComingBack([this] { AddChatLine(comingBackLine()); });
    gamelink::FollowRemoteCars(session);
}

void frmChat::requestClose() {
    if (modDplay.connectWizard) {
        modDplay.connectWizard->CloseForm(this);
    }
}

void frmChat::playerJoined(const SessionPlayer& player) {
    // The roster marks one's own entry with 0.
    auto* entry = new QListWidgetItem(player.name);
    entry->setData(Qt::UserRole, player.local ? 0u : player.id);
    lstUsers->addItem(entry);
    if (!player.local) {
        AddChatLine(joinedLine(player.name, player.back));
    }
}

void frmChat::playerLeft(const SessionPlayer& player) {
    AddChatLine(leftLine(player.name));
    for (int i = 0; i < lstUsers->count(); ++i) {
        if (lstUsers->item(i)->data(Qt::UserRole).toUInt() == player.id) {
            delete lstUsers->takeItem(i);
            break;
        }
    }
}

void frmChat::playerGameChanged(const SessionPlayer& player) {
    for (int i = 0; i < lstUsers->count(); ++i) {
        if (lstUsers->item(i)->data(Qt::UserRole).toUInt() == player.id) {
            showRosterEntry(lstUsers->item(i));
        }
    }
}

void frmChat::hostChanged(const SessionPlayer& host) {
    if (host.local && !windowTitle().endsWith(kHostMark)) {
        setWindowTitle(windowTitle() + kHostMark);
    }
    qCDebug(lcChat) << "host is now" << host.id << "caption" << windowTitle();
    AddChatLine(QStringLiteral("- ") + host.name + QStringLiteral(" is now the host."));
    hosting_ = host.local;
    showSession();
    showReachability();
}

void frmChat::sessionEnded(dx8::HRESULT code) {
    const QString text = code == dx8::DPNERR_HOSTTERMINATEDSESSION
                             ? QStringLiteral("The host has terminated this session.")
                             : QStringLiteral("This session has been lost.");
    qCDebug(lcChat) << "box"
                    << "Exiting" << text;
    MsgBox(this, text, QStringLiteral("Exiting"), QMessageBox::Information, adviceFor(code));
    requestClose();
}

void frmChat::connectFailed(dx8::HRESULT code) {
    const QString text = QStringLiteral("Connect Failed.  Error: ") + dx8::hresultHex(code);
    qCDebug(lcChat) << "box"
                    << "Closing" << text;
    MsgBox(this, text, QStringLiteral("Closing"), QMessageBox::Critical, adviceFor(code));
    requestClose();
}

}  // namespace orvel
