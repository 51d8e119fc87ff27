#include "connect_wizard/session_address_dialog.h"

#include <QApplication>
#include <QInputDialog>

namespace orvel {

std::optional<QString> SessionAddressDialog::askForAddress() {
    if (qEnvironmentVariableIsSet("ORVEL_ENUM_ADDRESS") ||
        qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return EnvironmentAddressSource::askForAddress();
    }
    bool ok = false;
    const QString text =
        QInputDialog::getText(nullptr, QStringLiteral("Session address"),
                              QStringLiteral("host name or IP, blank to search the local network"),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok) {
        return std::nullopt;
    }
    return text.trimmed();
}

}  // namespace orvel
