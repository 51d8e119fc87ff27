// The race session as the main window shows it: the roster, join and leave lines, received chat
// and whispers, the host mark, and the boxes for the end of a session and a failed connect.
#include <QLineEdit>
#include <QListWidget>

#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "session/roster_lines.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

void frmChat::onChatLine(dx8::DPNID, const QString& senderName, const QString& text) {
    AddChatLine(QStringLiteral("<") + senderName + QStringLiteral("> ") + text);
}

void frmChat::onWhisper(dx8::DPNID, const QString& senderName, const QString& text) {
    AddChatLine(QStringLiteral("**<") + senderName + QStringLiteral(">** ") + text);
}

// A line goes out from the input here or from the game's (which puts it here first): either way
// this leaves the input empty.
void frmChat::onChatSent(const QString& text) {
    txtSend->clear();
    AddChatLine(QStringLiteral("<") + localPlayerName + QStringLiteral(">") + text);
}

// The roster stays as it was meanwhile; what changed is told once back.
void frmChat::onComingBack() {
    AddChatLine(comingBackLine());
}

void frmChat::requestClose() {
    if (modDplay.connectWizard) {
        modDplay.connectWizard->CloseForm(this);
    }
}

void frmChat::onPlayerJoined(const SessionPlayer& player) {
    // The roster marks one's own entry with 0.
    auto* entry = new QListWidgetItem(player.name);
    entry->setData(Qt::UserRole, player.local ? 0u : player.id);
    lstUsers->addItem(entry);
    if (!player.local) {
        AddChatLine(joinedLine(player.name, player.back));
    }
}

void frmChat::onPlayerLeft(const SessionPlayer& player) {
    AddChatLine(leftLine(player.name));
    for (int i = 0; i < lstUsers->count(); ++i) {
        if (lstUsers->item(i)->data(Qt::UserRole).toUInt() == player.id) {
            delete lstUsers->takeItem(i);
            break;
        }
    }
}

void frmChat::onGameChanged(const SessionPlayer& player) {
    for (int i = 0; i < lstUsers->count(); ++i) {
        if (lstUsers->item(i)->data(Qt::UserRole).toUInt() == player.id) {
            showRosterEntry(lstUsers->item(i));
        }
    }
}

void frmChat::onHostChanged(const SessionPlayer& host) {
    if (host.local && !windowTitle().endsWith(kHostMark)) {
        setWindowTitle(windowTitle() + kHostMark);
    }
    qCDebug(lcChat) << "host is now" << host.id << "caption" << windowTitle();
    AddChatLine(QStringLiteral("- ") + host.name + QStringLiteral(" is now the host."));
    hosting_ = host.local;
    showSession();
    showReachability();
}

void frmChat::onSessionEnded(dx8::HRESULT code) {
    const QString text = code == dx8::DPNERR_HOSTTERMINATEDSESSION
                             ? QStringLiteral("The host has terminated this session.")
                             : QStringLiteral("This session has been lost.");
    qCDebug(lcChat) << "box"
                    << "Exiting" << text;
    MsgBox(this, text, QStringLiteral("Exiting"), QMessageBox::Information, adviceFor(code));
    requestClose();
}

void frmChat::onConnectFailed(dx8::HRESULT code) {
    const QString text = QStringLiteral("Connect Failed.  Error: ") + dx8::hresultHex(code);
    qCDebug(lcChat) << "box"
                    << "Closing" << text;
    MsgBox(this, text, QStringLiteral("Closing"), QMessageBox::Critical, adviceFor(code));
    requestClose();
}

}  // namespace orvel
