#include "meet_lines.h"

#include <QHostAddress>

#include "common/command_line.h"
#include "common/settings_store.h"
#include "net/paths/meet_protocol.h"

namespace orvel::bot {

std::optional<QString> takeMeetPoint(const std::optional<QString>& given, const QString& join,
                                     QString* point) {
    *point = (given ? *given : GetDefault(QStringLiteral("MeetPoint"))).trimmed();
    QString why;
    if (!point->isEmpty() && !cli::parseHostPort(*point, meet::kDefaultPort, &why)) {
        return QStringLiteral("bad meeting point \"%1\": %2").arg(*point, why);
    }
    if (point->isEmpty() && join.contains(QLatin1Char('-')) && meet::parseCode(join)) {
        return QStringLiteral("a session code needs a meeting point (--meet)");
    }
    dx8::setMeetPoint(*point);
    return std::nullopt;
}

QStringList meetLines(const dx8::MeetStatus& before, const dx8::MeetStatus& now) {
    using Way = dx8::MeetStatus::Way;
    QStringList lines;
    if (now.holding && (!before.holding || now.code != before.code)) {
        lines << QStringLiteral("code: %1").arg(now.code);
    }
    if (now.holding && now.way != Way::Unknown && now.way != before.way) {
        lines << QStringLiteral("meeting point: sees us at %1:%2, friends %3")
                     .arg(QHostAddress(now.seenAt.ipv4).toString())
                     .arg(now.seenAt.port)
                     .arg(now.way == Way::Unasked ? QStringLiteral("come in unasked")
                                                  : QStringLiteral("are introduced"));
    }
    if (!now.problem.isEmpty() && now.problem != before.problem) {
        lines << QStringLiteral("meeting point: %1").arg(now.problem);
    }
    return lines;
}

}  // namespace orvel::bot
