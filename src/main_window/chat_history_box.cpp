#include "main_window/chat_history_box.h"

#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>

namespace orvel {

ChatHistoryBox::ChatHistoryBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
}

namespace {

QString shownText(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

void ChatHistoryBox::setText(const QString& text, qsizetype appended) {
    const QString old = std::exchange(text_, text);
    selStart_ = std::min(selStart_, static_cast<int>(text_.size()));
    const qsizetype kept = text.size() - appended;
    const qsizetype dropped = old.size() - kept;
    if (appended < 0 || kept < 0 || dropped < 0 ||
        QStringView(old).mid(dropped) != QStringView(text).left(kept)) {
        setPlainText(shownText(text));
        return;
    }
    // On screen each "\r\n" is one break; a cut between its two halves leaves the break shown.
    const QStringView gone = QStringView(old).left(dropped);
    const bool splitPair = dropped > 0 && gone.back() == u'\r' && old.at(dropped) == u'\n';
    const qsizetype shownGone = dropped - gone.count(u"\r\n") - (splitPair ? 1 : 0);
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.setPosition(static_cast<int>(shownGone), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shownText(text.right(appended)));
    cursor.endEditBlock();
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
