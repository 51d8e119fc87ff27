#include "connect_wizard/session_address_dialog.h"

#include <QApplication>
#include <QInputDialog>

#include "common/settings_store.h"

namespace orvel {

namespace {

const QString kRecentHostsKey = QStringLiteral("RecentHosts");

QStringList recentHosts() {
    return GetDefault(kRecentHostsKey).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace

QStringList rememberHost(QStringList recent, const QString& typed) {
    const QString host = typed.trimmed();
    if (host.isEmpty()) {
        return recent;
    }
    recent.removeAll(host);
    recent.prepend(host);
    while (recent.size() > kRecentHostsKept) {
        recent.removeLast();
    }
    return recent;
}

void rememberAnsweredHost(const QString& typed) {
    const QStringList recent = recentHosts();
    const QStringList kept = rememberHost(recent, typed);
    if (kept != recent) {
        SaveDefault(kRecentHostsKey, kept.join(QLatin1Char('\n')));
    }
}

std::optional<QString> SessionAddressDialog::askForAddress() {
    if (qEnvironmentVariableIsSet("ORVEL_ENUM_ADDRESS") ||
        qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return EnvironmentAddressSource::askForAddress();
    }
    // The last hosts that answered come first, the latest ready to take; the field stays
    // editable.
    const QStringList recent = recentHosts();
    bool ok = false;
    const QString text =
        QInputDialog::getItem(nullptr, QStringLiteral("Session address"),
                              QStringLiteral("host name or IP, blank to search the local network"),
                              recent.isEmpty() ? QStringList{QString()} : recent, 0, true, &ok);
    if (!ok) {
        return std::nullopt;
    }
    return text.trimmed();
}

}  // namespace orvel
