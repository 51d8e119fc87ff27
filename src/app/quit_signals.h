#pragma once
// SIGTERM, SIGINT and SIGHUP end Orvel the way the player does: a running connection wizard is
// cancelled, otherwise the main window closes, so the session is left with a goodbye and the
// game is given back. A second such signal while the first is still being handled ends the
// program at once.
#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;

namespace orvel {

class ConnectWizard;

class QuitOnSignals : public QObject {
public:
    // wizard: where the program keeps its connection wizard (empty while there is none).
    QuitOnSignals(QWidget* mainWindow, const std::unique_ptr<ConnectWizard>& wizard);
    ~QuitOnSignals() override;

    // Ends the program as such a signal does (the game that Orvel started has ended, say).
    void endAsPlayer();
    // Also told of each such signal, by number (to pass it on to the game Orvel started).
    void alsoOnSignal(std::function<void(int)> handler) { alsoOnSignal_ = std::move(handler); }

private:
    void quit();

    static constexpr int kRetries = 100;
    static constexpr int kRetryMs = 100;

    QWidget* mainWindow_;
    const std::unique_ptr<ConnectWizard>& wizard_;
    int retries_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void(int)> alsoOnSignal_;
};

}  // namespace orvel
