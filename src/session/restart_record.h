#pragma once

// A player's restart record: its return ticket, written down while it is in a session, so that
// its program started again within a minute of ending without leaving (a crash, a kill) comes
// back into the session as the player it was instead of joining anew. One file per player name
// in the user's private runtime folder, readable by the user alone since it holds the player's
// key; written whole or not at all, and gone once the player leaves the session properly.

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

#include "platform/dx8/play/peer_extras.h"

namespace dx8 {

constexpr qint64 kRestartRecordMaxAgeMs = 60000;  // as long as the session waits for a return
constexpr int kRestartComeBackMs = 60000;         // how long a program started again tries
constexpr int kRestartRecordRefreshMs = 3000;
constexpr qint64 kMaxRestartRecordBytes = 16 * 1024;

struct RestartRecord {
    ReturnTicket ticket;
    QString sessionName;
    qint64 writtenMs = 0;  // the wall clock's, shared by every program of the machine
};

// Writes the record of ticket.name, replacing the one before in one step. False (with the reason
// in *error) when it could not.
bool writeRestartRecord(const RestartRecord& record, QString* error = nullptr);
// The record of player `name` when it was written in the minute before nowMs, valid and the
// user's own. Whatever else lies under that name (stale, damaged, too large, a link, another
// user's) is removed, and nothing comes back.
std::optional<RestartRecord> readRestartRecord(const QString& name, qint64 nowMs);
void removeRestartRecord(const QString& name);

// Keeps the record of the peer's player fresh while it is in a session: at once, then every few
// seconds. The peer is read at every use.
class RestartRecordKeeper : public QObject {
public:
    explicit RestartRecordKeeper(const std::shared_ptr<DirectPlay8Peer>& peer);
    ~RestartRecordKeeper() override = default;

    void start();
    // The session was left properly or ended: the record goes.
    void stop();

private:
    void refresh();

    const std::shared_ptr<DirectPlay8Peer>& peer_;
    QTimer timer_;
    QString name_;  // whose record we keep
};

}  // namespace dx8
