#pragma once

// The race session: what the program knows of the session's players and what they send, between
// the peer and the parts that show or use it. It is the peer's event callback (the connection
// wizard hands every notification on to it), keeps who is who (names, remote car slots, the
// host, oneself), decodes every received message once and tells the rest of the program through
// typed callbacks; and it sends this player's chat, whispers and car states.

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <functional>
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

    // ---- Typed callbacks; setting one replaces the one before, an empty one tells nobody ----
    using TextHandler = std::function<void(const QString& senderName, const QString& text)>;
    using PlayerHandler = std::function<void(const SessionPlayer& player)>;
    using ResultHandler = std::function<void(dx8::HRESULT code)>;
    // A chat line or whisper from another player; an unknown sender has an empty name.
    void onChatLine(TextHandler handler);
    void onWhisper(TextHandler handler);
    // Every player once it is reported, oneself included; onPlayerLeft for remote players only.
    void onPlayerJoined(PlayerHandler handler);
    void onPlayerLeft(PlayerHandler handler);
    // The host role moved to player (local when it is oneself).
    void onHostChanged(PlayerHandler handler);
    // A car state from the player who holds the slot.
    void onCarState(std::function<void(int slot, const CarState& state)> handler);
    // The session ended (the host closed it, or it was lost), or the connect failed.
    void onSessionEnded(ResultHandler handler);
    void onConnectFailed(ResultHandler handler);
    // Every link went dark: the peer tries to come back by itself for up to a minute. Then the
    // session goes on, or onSessionEnded follows.
    void onComingBack(std::function<void()> handler);
    // A player said that it has a game again, or has none (noGame).
    void onGameChanged(PlayerHandler handler);
    // A chat line of this player went out (from the window or from the game).
    void onChatSent(std::function<void(const QString& text)> handler);
    // Drops every callback (their owners are going).
    void forgetCallbacks();

    // ---- Sending; a failed send is not the player's concern and is only logged ------------
    // A chat line to every other player, guaranteed; an empty line sends nothing.
    void sendChat(const QString& text);
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
