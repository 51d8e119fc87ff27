// The session's players and events as the main window sees them: the roster and the remote car
// slots, the host mark, the end of a session and a failed connect, and the messages other
// players send.
#include <QListWidget>
#include <variant>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/remote_cars.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

namespace {

int32_t typeOf(const QByteArray& received, bool* ok) {
    int32_t offset = 0;
    uint8_t bytes[4] = {};
    *ok = ReadBytes(received, bytes, 4, offset);
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24));
}

}  // namespace

void frmChat::requestClose() {
    if (connectWizard) {
        connectWizard->CloseForm(this);
    }
}

void frmChat::DirectPlay8Event_CreatePlayer(dx8::DPNID lPlayerID, bool&) {
    // A failed query leaves an empty name and no flags: the player counts as remote.
    dx8::DPN_PLAYER_INFO info;
    if (dpPeer) {
        try {
            info = dpPeer->GetPeerInfo(lPlayerID, 0);
        } catch (const dx8::DxError& e) {
            qCDebug(lcChat) << "no information on player" << lPlayerID << dx8::hresultHex(e.code());
            info = dx8::DPN_PLAYER_INFO{};
        }
    }
    auto* entry = new QListWidgetItem(info.Name);
    entry->setData(Qt::UserRole, 0u);
    entry->setData(kNameRole, info.Name);
    lstUsers->addItem(entry);
    if ((info.lPlayerFlags & dx8::DPNPLAYER_LOCAL) != 0) {
        qCDebug(lcChat) << "roster: local player" << info.Name;
        return;
    }

    AddChatLine(QStringLiteral("- ") + info.Name + QStringLiteral(" has joined the game."));
    // A repeated report of the same player keeps its one slot.
    int slot = slotPlayerIds.slotOf(lPlayerID);
    for (int n = SlotPlayerIds::kFirst; slot == 0 && n <= SlotPlayerIds::kLast; ++n) {
        if (slotPlayerIds(n) == 0) {
            slotPlayerIds(n) = lPlayerID;
            slot = n;
        }
    }
    entry->setData(Qt::UserRole, lPlayerID);
    qCDebug(lcChat) << "roster: player" << lPlayerID << info.Name << "slot" << slot;
}

void frmChat::DirectPlay8Event_DestroyPlayer(dx8::DPNID lPlayerID, int32_t, bool&) {
    // Id 0 is the all-players group, never a player; it must not match one's own entry.
    for (int i = 0; lPlayerID != 0 && i < lstUsers->count(); ++i) {
        if (lstUsers->item(i)->data(Qt::UserRole).toUInt() == lPlayerID) {
            AddChatLine(QStringLiteral("-- ") + entryName(lstUsers->item(i)) +
                        QStringLiteral(" has left the game."));
            delete lstUsers->takeItem(i);
            break;
        }
    }
    // From here on the player's car is no longer written into the game.
    if (const int n = slotPlayerIds.slotOf(lPlayerID); n != 0) {
        slotPlayerIds(n) = 0;
        qCDebug(lcChat) << "roster: slot" << n << "freed";
    }
}

void frmChat::DirectPlay8Event_HostMigrate(dx8::DPNID lNewHostID, bool&) {
    // A failed query is this handler's failure: it goes back to the platform through the wizard.
    if (!dpPeer) {
        dx8::raise(dx8::DPNERR_UNINITIALIZED);
    }
    const dx8::DPN_PLAYER_INFO info = dpPeer->GetPeerInfo(lNewHostID, 0);
    if ((info.lPlayerFlags & dx8::DPNPLAYER_LOCAL) != 0 && !windowTitle().endsWith(kHostMark)) {
        setWindowTitle(windowTitle() + kHostMark);
    }
    qCDebug(lcChat) << "host is now" << lNewHostID << "caption" << windowTitle();
}

void frmChat::DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& dpnotify, bool&) {
    const QString text = dpnotify.hResultCode == dx8::DPNERR_HOSTTERMINATEDSESSION
                             ? QStringLiteral("The host has terminated this session.")
                             : QStringLiteral("This session has been lost.");
    qCDebug(lcChat) << "box"
                    << "Exiting" << text;
    MsgBox(this, text, QStringLiteral("Exiting"), QMessageBox::Information,
           adviceFor(dpnotify.hResultCode));
    requestClose();
}

void frmChat::DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify, bool&) {
    if (dpnotify.hResultCode == dx8::DPN_OK) {
        return;
    }
    const QString text =
        QStringLiteral("Connect Failed.  Error: ") + dx8::hresultHex(dpnotify.hResultCode);
    qCDebug(lcChat) << "box"
                    << "Closing" << text;
    MsgBox(this, text, QStringLiteral("Closing"), QMessageBox::Critical,
           adviceFor(dpnotify.hResultCode));
    requestClose();
}

void frmChat::DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& dpnotify, bool&) {
    const QByteArray& received = dpnotify.ReceivedData;
    bool haveType = false;
    const int32_t type = typeOf(received, &haveType);
    if (!haveType) {
        return;
    }
    switch (type) {
        case ChatMessage:
        case WhisperMessage: {
            const QString name = PlayerNameFromId(dpnotify.idSender);
            const DecodedMessage message = DecodeMessage(received);
            const auto* text = std::get_if<TextMessage>(&message);
            if (text == nullptr) {
                return;
            }
            AddChatLine(type == ChatMessage
                            ? QStringLiteral("<") + name + QStringLiteral("> ") + text->text
                            : QStringLiteral("**<") + name + QStringLiteral(">** ") + text->text);
            return;
        }
        case CarStateMessage: {
            // Outside a race the game's car records are not ours to write. The tick's answer
            // serves every car that arrives between two ticks.
            if (!gamelink::isPlayingLately()) {
                return;
            }
            const DecodedMessage message = DecodeMessage(received);
            if (const auto* car = std::get_if<CarStateUpdate>(&message)) {
                gamelink::WriteRemoteCar(dpnotify.idSender, car->state);
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace orvel
