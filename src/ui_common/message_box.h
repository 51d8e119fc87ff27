#pragma once

// The message boxes of the wizard and the main window: a text, a caption, an icon and one OK
// button, waiting until the player closes the box; under the text, where there is one, a short
// explanation of what happened and what to try next. Tests replace the box through a hook to
// see what would have been shown and to answer it at once.

#include <QMessageBox>
#include <QString>
#include <functional>

namespace orvel {

using MessageBoxHook = std::function<void(QWidget* parent, const QString& text,
                                          const QString& caption, QMessageBox::Icon icon)>;
using MessageBoxExplainedHook =
    std::function<void(QWidget* parent, const QString& text, const QString& caption,
                       QMessageBox::Icon icon, const QString& explanation)>;

// Shows the box, or hands it to the hook when one is set.
void MsgBox(QWidget* parent, const QString& text, const QString& caption,
            QMessageBox::Icon icon = QMessageBox::Information, const QString& explanation = {});

// An empty hook brings the real boxes back.
void SetMessageBoxHook(MessageBoxHook hook);
// The same, for a hook that also sees the explanation under the text.
void SetExplainedMessageBoxHook(MessageBoxExplainedHook hook);

}  // namespace orvel
