// The chat: the history and its echo into the game's message area, sending a line to everyone
// and whispering to one player through the race session, and the roster lookup by player id.
#include <QLineEdit>
#include <QListWidget>

#include "common/characters.h"
#include "common/orvel_globals.h"
#include "game_link/message_area.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "ui_common/message_box.h"

namespace orvel {

namespace {

// The history keeps this many characters; older text falls off the front.
constexpr qsizetype kHistoryLimit = 0x4000;

}  // namespace

void frmChat::AddChatLine(QString line) {
    const QString added = line + QStringLiteral("\r\n");
    txtChat->setText(lastCharacters(txtChat->text() + added, kHistoryLimit), added.size());
    txtChat->setSelStart(static_cast<int>(txtChat->text().size()));
    lastChatLine = line;
    qCDebug(lcChat) << "line" << line;

    if ((gameVersion == 0 || gameVersion == 1) && isPlaying()) {
        gamelink::ShowLastLine(line);
    }
}

QString frmChat::PlayerNameFromId(uint32_t id) {
    return modDplay.raceSession.nameOf(id);
}

void frmChat::txtSend_KeyPress(int16_t& KeyAscii) {
    if (KeyAscii != 13) {
        return;
    }
    const QString text = txtSend->text();
    if (text.isEmpty()) {
        return;
    }
    KeyAscii = 0;
    // The session tells when the line has gone out: the input is emptied and the history shows
    // it then.
    modDplay.raceSession.sendChat(text);
}

void frmChat::cmdWhisper_Click() {
    // Only an entry the player has actually selected counts, not the list's current row alone.
    const QList<QListWidgetItem*> selected = lstUsers->selectedItems();
    if (selected.isEmpty()) {
        MsgBox(this,
               QStringLiteral("You must select a user in the list before you can whisper to that "
                              "person."),
               QStringLiteral("Select someone"));
        return;
    }
    const dx8::DPNID target = selected.first()->data(Qt::UserRole).toUInt();
    if (target == 0) {
        MsgBox(this, QStringLiteral("Why are you whispering to yourself?"),
               QStringLiteral("Select someone else"));
        return;
    }
    const QString text = txtSend->text();
    if (text.isEmpty()) {
        MsgBox(this, QStringLiteral("What's the point of whispering if you have nothing to say.."),
               QStringLiteral("Enter text"));
        return;
    }
    txtSend->clear();
    modDplay.raceSession.sendWhisper(target, text);
    AddChatLine(QStringLiteral("**<") + localPlayerName + QStringLiteral(">** ") + text);
}

}  // namespace orvel
