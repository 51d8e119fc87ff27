#include "session/race_session.h"

#include <algorithm>
#include <map>
#include <optional>
#include <variant>
#include <vector>

#include "common/shown_text.h"

Q_LOGGING_CATEGORY(lcChat, "orvel.chat", QtWarningMsg)
// Players created and destroyed and the session's end, as the peer reports them. Logged under
// the connection wizard's category, where they were logged while the wizard was the peer's
// handler, so that a run's trace tells them in one place whoever has the peer.
Q_LOGGING_CATEGORY(lcPeerEvents, "orvel.wizard", QtWarningMsg)

namespace orvel {

struct RaceSession::Impl {
    explicit Impl(const std::shared_ptr<dx8::DirectPlay8Peer>& p) : peer(p) {}

    const std::shared_ptr<dx8::DirectPlay8Peer>& peer;
    std::vector<SessionPlayer> players;  // in the order they were reported
    SlotPlayerIds carSlots;
    dx8::DPNID host = 0;
    std::optional<bool> gameLinked;  // as last told to the others
    // Remote players gone from this session, with the car slot each held: an id is never given
    // to anyone else in a session, so one reported again is that player back.
    std::map<dx8::DPNID, int> away;
    static constexpr size_t kMaxAway = 64;

    // In the order they were added; one removed during a delivery is left as null until the
    // outermost delivery is over, so that no index moves under a delivery.
    std::vector<Listener*> listeners;
    int delivering = 0;  // deliveries under way, nested ones included

    // Oneself is known under 0, the id the roster gives its own entry.
    static dx8::DPNID knownAs(const SessionPlayer& p) { return p.local ? 0 : p.id; }

    std::vector<SessionPlayer>::iterator find(dx8::DPNID id) {
        return std::find_if(players.begin(), players.end(),
                            [id](const SessionPlayer& p) { return knownAs(p) == id; });
    }

    // A failed query leaves an empty name and no flags: the player counts as remote.
    dx8::DPN_PLAYER_INFO infoOf(dx8::DPNID id) const {
        if (peer) {
            try {
                return peer->GetPeerInfo(id, 0);
            } catch (const dx8::DxError& e) {
                qCDebug(lcChat) << "no information on player" << id << dx8::hresultHex(e.code());
            }
        }
        return {};
    }

    // Sends without waiting; with no session the send fails, and that is fine. Returns DPN_OK or
    // the failure.
    dx8::HRESULT send(dx8::DPNID target, const QByteArray& message, int32_t flags) const {
        if (!peer) {
            return dx8::DPNERR_UNINITIALIZED;
        }
        try {
            peer->SendTo(target, message, 0, flags);
        } catch (const dx8::DxError& e) {
            qCDebug(lcChat) << "send failed" << dx8::hresultHex(e.code());
            return e.code();
        }
        return dx8::DPN_OK;
    }

    // This player's game link, to one player or (DPNID_ALL_PLAYERS_GROUP) to all, once known.
    void tellGameLink(dx8::DPNID target) const {
        if (gameLinked) {
            send(target, BuildGameLinkMessage(*gameLinked),
                 dx8::DPNSEND_GUARANTEED | dx8::DPNSEND_NOLOOPBACK);
        }
    }

    // Tells every listener present when the notification starts. The arguments must not refer
    // into the session's own state: a listener may change it meanwhile.
    template <class... Params, class... Args>
    void tell(void (Listener::*notification)(Params...), const Args&... args) {
        struct Delivery {
            Impl& d;
            explicit Delivery(Impl& impl) : d(impl) { ++d.delivering; }
            ~Delivery() {
                if (--d.delivering == 0) {
                    std::erase(d.listeners, nullptr);
                }
            }
        } delivery(*this);
        const size_t present = listeners.size();
        for (size_t i = 0; i < present; ++i) {
            if (Listener* listener = listeners[i]) {
                (listener->*notification)(args...);
            }
        }
    }
};

RaceSession::RaceSession(const std::shared_ptr<dx8::DirectPlay8Peer>& peer)
    : d_(std::make_unique<Impl>(peer)) {}

RaceSession::~RaceSession() = default;

void RaceSession::addListener(Listener* listener) {
    if (listener != nullptr &&
        std::find(d_->listeners.begin(), d_->listeners.end(), listener) == d_->listeners.end()) {
        d_->listeners.push_back(listener);
    }
}

void RaceSession::removeListener(Listener* listener) {
    if (listener == nullptr) {
        return;
    }
    const auto it = std::find(d_->listeners.begin(), d_->listeners.end(), listener);
    if (it == d_->listeners.end()) {
        return;
    }
    if (d_->delivering > 0) {
        *it = nullptr;
    } else {
        d_->listeners.erase(it);
    }
}

// Lines go guaranteed: a chat line lost or dropped behind a newer car state would never be seen.
dx8::HRESULT RaceSession::sendChat(const QString& text) {
    if (text.isEmpty()) {
        return dx8::DPN_OK;
    }
    const dx8::HRESULT result =
        d_->send(dx8::DPNID_ALL_PLAYERS_GROUP, BuildTextMessage(ChatMessage, text),
                 dx8::DPNSEND_GUARANTEED | dx8::DPNSEND_NOLOOPBACK);
    d_->tell(&Listener::onChatSent, text);
    return result;
}

void RaceSession::sendWhisper(dx8::DPNID target, const QString& text) {
    d_->send(target, BuildTextMessage(WhisperMessage, text),
             dx8::DPNSEND_GUARANTEED | dx8::DPNSEND_NOLOOPBACK);
}

QByteArray RaceSession::sendCarState(const CarState& state) {
    const QByteArray message = BuildCarStateMessage(state);
    d_->send(dx8::DPNID_ALL_PLAYERS_GROUP, message, dx8::DPNSEND_NOLOOPBACK);
    return message;
}

void RaceSession::setGameLinked(bool linked) {
    if (d_->gameLinked == linked) {
        return;
    }
    d_->gameLinked = linked;
    qCDebug(lcChat) << "own game" << (linked ? "linked" : "gone");
    // Alone, there is nobody to tell; whoever comes is told on arrival.
    const bool anyoneElse = std::any_of(d_->players.begin(), d_->players.end(),
                                        [](const SessionPlayer& p) { return !p.local; });
    if (anyoneElse) {
        d_->tellGameLink(dx8::DPNID_ALL_PLAYERS_GROUP);
    }
}

bool RaceSession::saysNoGame(dx8::DPNID id) const {
    const auto it = d_->find(id);
    return it != d_->players.end() && it->noGame;
}

QString RaceSession::nameOf(dx8::DPNID id) const {
    const auto it = d_->find(id);
    return it == d_->players.end() ? QString() : it->name;
}

SlotPlayerIds& RaceSession::slotPlayerIds() {
    return d_->carSlots;
}

dx8::DPNID RaceSession::hostId() const {
    return d_->host;
}

void RaceSession::DirectPlay8Event_CreatePlayer(dx8::DPNID lPlayerID, bool&) {
    qCDebug(lcPeerEvents) << "CreatePlayer" << lPlayerID;
    const dx8::DPN_PLAYER_INFO info = d_->infoOf(lPlayerID);
    SessionPlayer player{lPlayerID, info.Name, (info.lPlayerFlags & dx8::DPNPLAYER_LOCAL) != 0};
    if ((info.lPlayerFlags & dx8::DPNPLAYER_HOST) != 0) {
        d_->host = lPlayerID;
    }
    if (player.local) {
        qCDebug(lcChat) << "roster: local player" << player.name;
    } else {
        // A repeated report of the same player keeps its one slot, one back gets its old slot
        // when nobody took it meanwhile; a sixth remote player gets none.
        SlotPlayerIds& carSlots = d_->carSlots;
        player.slot = carSlots.slotOf(lPlayerID);
        if (const auto away = d_->away.find(lPlayerID); away != d_->away.end()) {
            player.back = true;
            if (player.slot == 0 && away->second != 0 && carSlots(away->second) == 0) {
                carSlots(away->second) = lPlayerID;
                player.slot = away->second;
            }
            d_->away.erase(away);
        }
        for (int n = SlotPlayerIds::kFirst; player.slot == 0 && n <= SlotPlayerIds::kLast; ++n) {
            if (carSlots(n) == 0) {
                carSlots(n) = lPlayerID;
                player.slot = n;
            }
        }
        qCDebug(lcChat) << "roster: player" << lPlayerID << player.name << "slot" << player.slot;
        d_->tellGameLink(lPlayerID);
    }
    d_->players.push_back(player);
    d_->tell(&Listener::onPlayerJoined, player);
}

void RaceSession::DirectPlay8Event_DestroyPlayer(dx8::DPNID lPlayerID, int32_t lReason, bool&) {
    qCDebug(lcPeerEvents) << "DestroyPlayer" << lPlayerID << "reason" << lReason;
    d_->tell(&Listener::onPlayerDestroyed, lPlayerID);
    // From here on the player's car is no longer written into the game, even when the player
    // was never reported.
    if (const int n = d_->carSlots.slotOf(lPlayerID); n != 0) {
        d_->carSlots(n) = 0;
        qCDebug(lcChat) << "roster: slot" << n << "freed";
    }
    // Id 0 is the all-players group, never a player; it must not match oneself.
    const auto it = lPlayerID == 0 ? d_->players.end() : d_->find(lPlayerID);
    if (it == d_->players.end()) {
        return;
    }
    const SessionPlayer player = *it;
    d_->players.erase(it);
    if (!player.local) {
        if (d_->away.size() >= Impl::kMaxAway) {
            d_->away.erase(d_->away.begin());
        }
        d_->away[lPlayerID] = player.slot;
    }
    d_->tell(&Listener::onPlayerLeft, player);
}

void RaceSession::DirectPlay8Event_HostMigrate(dx8::DPNID lNewHostID, bool&) {
    d_->tell(&Listener::onHostMigrated, lNewHostID);
    if (!d_->peer) {
        dx8::raise(dx8::DPNERR_UNINITIALIZED);
    }
    const dx8::DPN_PLAYER_INFO info = d_->peer->GetPeerInfo(lNewHostID, 0);
    d_->host = lNewHostID;
    const SessionPlayer host{lNewHostID, info.Name, (info.lPlayerFlags & dx8::DPNPLAYER_LOCAL) != 0,
                             d_->carSlots.slotOf(lNewHostID)};
    d_->tell(&Listener::onHostChanged, host);
}

void RaceSession::DirectPlay8Event_InfoNotify(int32_t lMsgID, int32_t lNotifyID, bool&) {
    if (lMsgID == dx8::DPN_MSGID_COMING_BACK) {
        qCDebug(lcChat) << "cut off: coming back";
        d_->tell(&Listener::onComingBack);
        return;
    }
    // News of a player: only a listener that asks for it hears the name the peer gives now.
    if (!d_->peer) {
        return;
    }
    const auto id = static_cast<dx8::DPNID>(lNotifyID);
    QString name;
    try {
        name = d_->peer->GetPeerInfo(id, 0).Name;
    } catch (const dx8::DxError& e) {
        qCDebug(lcChat) << "no information on player" << id << dx8::hresultHex(e.code());
        return;
    }
    d_->tell(&Listener::onPlayerRenamed, id, name);
}

void RaceSession::DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& dpnotify,
                                                    bool&) {
    qCDebug(lcPeerEvents) << "TerminateSession" << dx8::hresultHex(dpnotify.hResultCode);
    d_->away.clear();
    d_->tell(&Listener::onSessionEnded, dpnotify.hResultCode);
}

void RaceSession::DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify, bool&) {
    if (dpnotify.hResultCode != dx8::DPN_OK) {
        d_->tell(&Listener::onConnectFailed, dpnotify.hResultCode);
    } else {
        // Joined: everyone present hears it once more, in case a word sent while the links
        // were still being made did not get through.
        d_->tellGameLink(dx8::DPNID_ALL_PLAYERS_GROUP);
        d_->tell(&Listener::onConnected);
    }
}

void RaceSession::DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& dpnotify, bool&) {
    // A line from another player is cut to what may be shown before anything is done with it,
    // then shown as one line without control characters, whatever it holds.
    const DecodedMessage message = DecodeMessage(dpnotify.ReceivedData, kMaxChatBytes);
    const dx8::DPNID sender = dpnotify.idSender;
    if (const auto* text = std::get_if<TextMessage>(&message)) {
        d_->tell(text->type == ChatMessage ? &Listener::onChatLine : &Listener::onWhisper, sender,
                 nameOf(sender), shownText(text->text, kMaxChatBytes));
    } else if (const auto* car = std::get_if<CarStateUpdate>(&message)) {
        d_->tell(&Listener::onCarStateFrom, sender, car->state);
        // Only a player who holds a slot has a car in the game, and only while it has a game
        // (a late state of a game gone must not move the car that stopped with it).
        if (const int slot = d_->carSlots.slotOf(sender); slot != 0 && !saysNoGame(sender)) {
            d_->tell(&Listener::onCarState, slot, car->state);
        }
    } else if (const auto* link = std::get_if<GameLinkUpdate>(&message)) {
        // Oneself is known under 0 and never sends to oneself; id 0 is nobody here.
        const auto it = dpnotify.idSender == 0 ? d_->players.end() : d_->find(dpnotify.idSender);
        if (it != d_->players.end() && it->noGame == link->linked) {
            it->noGame = !link->linked;
            qCDebug(lcChat) << "roster: player" << it->id
                            << (it->noGame ? "has no game" : "has a game");
            const SessionPlayer changed = *it;  // a listener may change the roster
            d_->tell(&Listener::onGameChanged, changed);
        }
    }
}

}  // namespace orvel
