#include "connect_wizard/password_prompt.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "platform/dx8/dx8_types.h"

namespace orvel {

std::optional<QString> askSessionPassword(QWidget* parent, const QString& sessionName, bool wrong) {
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("passwordPrompt"));
    dialog.setWindowTitle(QStringLiteral("Session password"));
    const QString name = sessionName.isEmpty() ? QStringLiteral("the session")
                                               : QStringLiteral("\"%1\"").arg(sessionName);
    // The session's name comes from the network: plain text, never markup.
    auto* label = new QLabel(wrong ? QStringLiteral("Wrong password for %1. Try again.").arg(name)
                                   : QStringLiteral("%1 asks for a password.").arg(name),
                             &dialog);
    label->setObjectName(QStringLiteral("lblPasswordPrompt"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QStringLiteral("txtSessionPassword"));
    field->setEchoMode(QLineEdit::Password);
    field->setMaxLength(static_cast<int>(dx8::kMaxPasswordChars));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(field);
    layout->addWidget(buttons);
    field->setFocus();
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return field->text();
}

}  // namespace orvel
