#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace orvel {

// The chat history: a read-only multi-line box whose text is exactly what was put into it, line
// ends "\r\n" included. It shows the text with plain line breaks.
class ChatHistoryBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ChatHistoryBox(QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    // `appended`: how many characters at the end of text are new, the rest being what the box
    // held, less some of its oldest characters; then only those change on screen, rather than
    // the whole history being laid out again for each line.
    void setText(const QString& text, qsizetype appended = -1);

    // The caret position, counted in characters of text().
    int selStart() const { return selStart_; }
    // Moves the caret; a position at the end scrolls the newest line into view.
    void setSelStart(int position);

private:
    QString text_;
    int selStart_ = 0;
};

}  // namespace orvel
