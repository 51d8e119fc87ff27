#pragma once

// orvel-bot at a meeting point: its --meet option, and the lines it prints of what the meeting
// point says of the session.

#include <QString>
#include <QStringList>
#include <optional>

#include "platform/dx8/play/peer_extras.h"

namespace orvel::bot {

// The meeting point to use: --meet when given, else the MeetPoint setting (empty: none). Sets it
// for the sessions of this process. An error for a bad one, or a code to join without one.
std::optional<QString> takeMeetPoint(const std::optional<QString>& given, const QString& join,
                                     QString* point);

// The lines to print once the status has gone from `before` to `now`: the code while we host
// under it, where the meeting point sees us and which way friends come in, or why it cannot be
// used.
QStringList meetLines(const dx8::MeetStatus& before, const dx8::MeetStatus& now);

}  // namespace orvel::bot
