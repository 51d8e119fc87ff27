#include "ui_common/message_box.h"

namespace orvel {

namespace {

MessageBoxExplainedHook& hook() {
    static MessageBoxExplainedHook instance;
    return instance;
}

}  // namespace

void MsgBox(QWidget* parent, const QString& text, const QString& caption, QMessageBox::Icon icon,
            const QString& explanation) {
    if (hook()) {
        hook()(parent, text, caption, icon, explanation);
        return;
    }
    // A text label shows a bare carriage return as a glyph; the line break is what is meant.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(icon, caption, shown, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(explanation);
    box.setObjectName(QStringLiteral("msgBox"));
    box.exec();
}

void SetMessageBoxHook(MessageBoxHook hook_) {
    if (!hook_) {
        hook() = nullptr;
        return;
    }
    hook() = [h = std::move(hook_)](QWidget* parent, const QString& text, const QString& caption,
                                    QMessageBox::Icon icon,
                                    const QString&) { h(parent, text, caption, icon); };
}

void SetExplainedMessageBoxHook(MessageBoxExplainedHook hook_) {
    hook() = std::move(hook_);
}

}  // namespace orvel
