#pragma once

// The race session: what the program knows of the session's players and what they send, between
// the peer and the parts that show or use it. Once the connection wizard is done it is the peer's
// registered event handler (while the wizard runs, the wizard hands every notification on to
// it); it keeps who is who (names, remote car slots, the host, oneself), decodes every received
// message once and tells every listener through typed notifications; and it sends this player's
// chat, whispers and car states.

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <memory>

#include "common/orvel_globals.h"
#include "platform/dx8/directplay8.h"
#include "platform/dx8/event_adapters.h"
#include "session/wire_messages.h"

// Chat lines, roster changes and session-end boxes, for diagnostics.
Q_DECLARE_LOGGING_CATEGORY(lcChat)

namespace orvel {

// One player of the session as the race session knows it.
struct SessionPlayer {
    dx8::DPNID id = 0;
    QString name;  // as the peer reported it; empty when its query failed
    bool local = false;
    int slot = 0;  // remote car slot 1..5 that shows the player's car; 0 for none
    // The player was here, lost its connection and came back into the session as itself.
    bool back = false;
    // The player said that its Orvel has no game to take its car from (it quit or crashed, or
    // was never started). Players who never said anything count as having one.
    bool noGame = false;
};

class RaceSession : public dx8::DirectPlay8EventAdapter {
public:
    // peer is read at every use, so it may be set, replaced or dropped later.
    explicit RaceSession(const std::shared_ptr<dx8::DirectPlay8Peer>& peer);
    ~RaceSession() override;
    RaceSession(const RaceSession&) = delete;
    RaceSession& operator=(const RaceSession&) = delete;

    // ---- Listeners ---------------------------------------------------------------------------
    // What the session tells. Every method does nothing unless overridden, so a listener
    // overrides what it cares about. Listeners hear each notification in the order they were
    // added.
    class Listener {
    public:
        virtual ~Listener() = default;

        // A chat line or whisper from the player with id sender; an unknown sender has an empty
        // name. The text is cut and cleaned to what may be shown.
        virtual void onChatLine(dx8::DPNID /*sender*/, const QString& /*senderName*/,
                                const QString& /*text*/) {}
        virtual void onWhisper(dx8::DPNID /*sender*/, const QString& /*senderName*/,
                               const QString& /*text*/) {}
        // Every player once it is reported, oneself included; onPlayerLeft for remote players
        // only.
        virtual void onPlayerJoined(const SessionPlayer& /*player*/) {}
        virtual void onPlayerLeft(const SessionPlayer& /*player*/) {}
        // The host role moved to host (local when it is oneself).
        virtual void onHostChanged(const SessionPlayer& /*host*/) {}
        // A car state from the player who holds the slot, while it has a game.
        virtual void onCarState(int /*slot*/, const CarState& /*state*/) {}
        // The session ended (the host closed it, or it was lost), or the connect failed.
        virtual void onSessionEnded(dx8::HRESULT /*code*/) {}
        virtual void onConnectFailed(dx8::HRESULT /*code*/) {}
        // Every link went dark: the peer tries to come back by itself for up to a minute. Then
        // the session goes on, or onSessionEnded follows.
        virtual void onComingBack() {}
        // A player said that it has a game again, or has none (noGame).
        virtual void onGameChanged(const SessionPlayer& /*player*/) {}
        // A chat line of this player went out (from the window or from the game).
        virtual void onChatSent(const QString& /*text*/) {}

        // ---- What the peer reported, as it reported it: for a listener that keeps its own
        // account of the players (orvel-bot prints each of these) ------------------------------
        // The connect completed: this player is in the session.
        virtual void onConnected() {}
        // The peer removed the player with this id: every removal, oneself at the session's end
        // and ids never reported included. Told before onPlayerLeft.
        virtual void onPlayerDestroyed(dx8::DPNID /*id*/) {}
        // The host role moved to newHost. Told before the session asks the peer about the new
        // host, so also when that fails (onHostChanged then stays silent).
        virtual void onHostMigrated(dx8::DPNID /*newHost*/) {}
        // The peer has news of a player (the name the host made unique for it); name is the one
        // the peer gives now. nameOf and the players told keep the name they were reported with.
        virtual void onPlayerRenamed(dx8::DPNID /*id*/, const QString& /*name*/) {}
        // Every car state received, whoever sent it; onCarState follows for a slot's holder.
        virtual void onCarStateFrom(dx8::DPNID /*sender*/, const CarState& /*state*/) {}
    };
    // From the next notification on, listener hears every one until it is removed; adding one
    // already added changes nothing. Safe while a notification is being delivered: a listener
    // added then first hears the next one.
    void addListener(Listener* listener);
    // Safe while a notification is being delivered, also from inside a listener: a listener
    // removed hears nothing more, not even the rest of the notification under way.
    void removeListener(Listener* listener);

    // ---- Sending; a failed send is not the player's concern and is only logged ------------
    // A chat line to every other player, guaranteed; an empty line sends nothing. The listeners
    // are told that it went out, whether or not the peer took it; the result says which
    // (DPN_OK, or the peer's failure).
    dx8::HRESULT sendChat(const QString& text);
    // A line to one player only, guaranteed.
    void sendWhisper(dx8::DPNID target, const QString& text);
    // The local car to every other player, unreliable: a late copy is worthless. Returns the
    // message, whether or not it went out.
    QByteArray sendCarState(const CarState& state);
    // Whether this player's car comes out of a game. Every change goes to the other players,
    // guaranteed, and every player who comes is told; nothing is told before the first call.
    void setGameLinked(bool linked);

    // ---- Who is who -------------------------------------------------------------------------
    // The name of the first player known under id (oneself is known under 0, as the roster
    // shows it); empty for nobody.
    QString nameOf(dx8::DPNID id) const;
    // The remote car slots as the players hold them.
    SlotPlayerIds& slotPlayerIds();
    dx8::DPNID hostId() const;  // 0 until a host is known
    // The player known under id said that it has no game.
    bool saysNoGame(dx8::DPNID id) const;

    // ---- The peer's notifications -----------------------------------------------------------
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify,
                                          bool& fRejectMsg) override;
    void DirectPlay8Event_CreatePlayer(dx8::DPNID lPlayerID, bool& fRejectMsg) override;
    void DirectPlay8Event_DestroyPlayer(dx8::DPNID lPlayerID, int32_t lReason,
                                        bool& fRejectMsg) override;
    // A failed query of the new host goes back to the platform as this handler's failure.
    void DirectPlay8Event_HostMigrate(dx8::DPNID lNewHostID, bool& fRejectMsg) override;
    void DirectPlay8Event_InfoNotify(int32_t lMsgID, int32_t lNotifyID, bool& fRejectMsg) override;
    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& dpnotify, bool& fRejectMsg) override;
    void DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& dpnotify,
                                           bool& fRejectMsg) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace orvel
