#pragma once
// SIGTERM, SIGINT and SIGHUP end Orvel the way the player does: a running connection wizard is
// cancelled, otherwise the main window closes, so the session is left with a goodbye and the
// game is given back. A second such signal while the first is still being handled ends the
// program at once.
#include <QObject>

class QSocketNotifier;
class QWidget;

namespace orvel {

class QuitOnSignals : public QObject {
public:
    explicit QuitOnSignals(QWidget* mainWindow);
    ~QuitOnSignals() override;

private:
    void quit();

    static constexpr int kRetries = 100;
    static constexpr int kRetryMs = 100;

    QWidget* mainWindow_;
    int retries_ = 0;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace orvel
