#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cerrno>

#include "session/mod_dplay.h"

namespace orvel {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int pipeEnds[2] = {-1, -1};

// Only async-signal-safe work here: note the signal and hand the rest to the event loop. The
// next one of these signals takes the default course, so a program stuck in its shutdown can
// still be ended.
void onSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], &byte, 1);
    for (const int s : kSignals) {
        ::signal(s, SIG_DFL);
    }
    errno = saved;
}

}  // namespace

QuitOnSignals::QuitOnSignals(QWidget* mainWindow, const std::unique_ptr<ConnectWizard>& wizard)
    : mainWindow_(mainWindow), wizard_(wizard) {
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // without the pipe the signals keep their default course
    }
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { quit(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : kSignals) {
        ::sigaction(s, &action, nullptr);
    }
}

QuitOnSignals::~QuitOnSignals() {
    for (const int s : kSignals) {
        ::signal(s, SIG_DFL);
    }
    delete notifier_;
    for (int& end : pipeEnds) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

void QuitOnSignals::quit() {
    char drained[16];
    ssize_t n = 0;
    while ((n = ::read(pipeEnds[0], drained, sizeof drained)) > 0) {
        for (ssize_t i = 0; i < n && alsoOnSignal_; ++i) {
            alsoOnSignal_(drained[i]);
        }
    }
    notifier_->setEnabled(false);
    endAsPlayer();
}

void QuitOnSignals::endAsPlayer() {
    // A message box waiting for the player goes first, as if dismissed.
    if (QWidget* box = QApplication::activeModalWidget();
        box != nullptr && box != dynamic_cast<QWidget*>(wizard_.get())) {
        box->close();
    }
    if (auto* wizard = dynamic_cast<QWidget*>(wizard_.get());
        wizard != nullptr && wizard->isVisible()) {
        wizard->close();  // the wizard's cancel: the start-up ends without a session
    } else if (mainWindow_->isVisible()) {
        mainWindow_->close();
    } else if (retries_ < kRetries) {
        // Between the wizard and the main window (or before either shows): closing now would
        // cut into the start-up, so look again in a moment.
        ++retries_;
        QTimer::singleShot(kRetryMs, this, [this] { endAsPlayer(); });
    }
}

}  // namespace orvel
