#include "main_window/chat_history_box.h"

#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>

namespace orvel {

ChatHistoryBox::ChatHistoryBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
}

void ChatHistoryBox::setText(const QString& text) {
    text_ = text;
    selStart_ = std::min(selStart_, static_cast<int>(text_.size()));
    QString shown = text_;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setPlainText(shown);
}

void ChatHistoryBox::setSelStart(int position) {
    selStart_ = std::clamp(position, 0, static_cast<int>(text_.size()));
    // The shown text lacks the "\r" of each line end before the caret.
    const int shownPosition =
        selStart_ - static_cast<int>(text_.left(selStart_).count(QStringLiteral("\r\n")));
    QTextCursor cursor = textCursor();
    cursor.setPosition(std::clamp(shownPosition, 0, document()->characterCount() - 1));
    setTextCursor(cursor);
    ensureCursorVisible();
}

}  // namespace orvel
