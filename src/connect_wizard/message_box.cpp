#include "connect_wizard/message_box.h"

namespace orvel {

namespace {

MessageBoxHook& hook() {
    static MessageBoxHook instance;
    return instance;
}

}  // namespace

void MsgBox(QWidget* parent, const QString& text, const QString& caption, QMessageBox::Icon icon) {
    if (hook()) {
        hook()(parent, text, caption, icon);
        return;
    }
    // A text label shows a bare carriage return as a glyph; the line break is what is meant.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(icon, caption, shown, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("msgBox"));
    box.exec();
}

void SetMessageBoxHook(MessageBoxHook hook_) {
    hook() = std::move(hook_);
}

}  // namespace orvel
