// The chat: the history and its echo into the game's message area, sending a line to everyone,
// whispering to one player, and the roster lookup by player id.
#include <QLineEdit>
#include <QListWidget>

#include "common/orvel_globals.h"
#include "game_link/message_area.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"
#include "ui_common/message_box.h"

Q_LOGGING_CATEGORY(lcChat, "orvel.chat", QtWarningMsg)

namespace orvel {

namespace {

// The history keeps this many characters; older text falls off the front.
constexpr qsizetype kHistoryLimit = 0x4000;

// A character is a Unicode code point here, as in the game's one byte per character: a
// surrogate pair counts once and is never cut in two.
bool startsPair(const QString& text, qsizetype i) {
    return i + 1 < text.size() && text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate();
}

// The last `limit` characters of text (all of it when it is not longer).
QString lastCharacters(const QString& text, qsizetype limit) {
    if (text.size() <= limit) {
        return text;
    }
    qsizetype start = text.size();
    for (qsizetype counted = 0; counted < limit && start > 0; ++counted) {
        --start;
        if (start > 0 && startsPair(text, start - 1)) {
            --start;
        }
    }
    return text.mid(start);
}

// Sends without waiting; a failed send (no session, say) is not the player's concern here. Lines
// go guaranteed: a chat line lost or dropped behind a newer car state would never be seen.
void sendText(dx8::DPNID target, const QByteArray& message) {
    if (!dpPeer) {
        return;
    }
    try {
        dpPeer->SendTo(target, message, 0, dx8::DPNSEND_GUARANTEED | dx8::DPNSEND_NOLOOPBACK);
    } catch (const dx8::DxError& e) {
        qCDebug(lcChat) << "send failed" << dx8::hresultHex(e.code());
    }
}

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
    for (int i = 0; i < lstUsers->count(); ++i) {
        const QListWidgetItem* entry = lstUsers->item(i);
        if (entry->data(Qt::UserRole).toUInt() == id) {
            return entryName(entry);
        }
    }
    return QString();
}

void frmChat::txtSend_KeyPress(int16_t& KeyAscii) {
    if (KeyAscii != 13) {
        return;
    }
    const QString text = txtSend->text();
    if (text.isEmpty()) {
        return;
    }
    const QByteArray message = BuildTextMessage(ChatMessage, text);
    txtSend->clear();
    KeyAscii = 0;
    sendText(dx8::DPNID_ALL_PLAYERS_GROUP, message);
    AddChatLine(QStringLiteral("<") + localPlayerName + QStringLiteral(">") + text);
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
    const QByteArray message = BuildTextMessage(WhisperMessage, text);
    txtSend->clear();
    sendText(target, message);
    AddChatLine(QStringLiteral("**<") + localPlayerName + QStringLiteral(">** ") + text);
}

}  // namespace orvel
