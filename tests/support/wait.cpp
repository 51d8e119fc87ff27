#include "wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdlib>

namespace orvel::testing {

namespace {

double scale() {
    static const double factor = [] {
        const char* text = std::getenv("ORVEL_TEST_TIMEOUT_SCALE");
        const double v = text != nullptr ? std::atof(text) : 1.0;
        return v > 0.0 ? v : 1.0;
    }();
    return factor;
}

// One poll's pause: queued events run, so that sockets and timers of this process move on.
void pause() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QThread::msleep(10);
}

}  // namespace

int scaledMs(int ms) { return static_cast<int>(ms * scale()); }

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    while (!condition()) {
        if (deadline.hasExpired()) {
            return condition();
        }
        pause();
    }
    return true;
}

bool staysUntil(const std::function<bool()>& condition, const std::function<bool()>& barrier,
                int timeoutMs) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    for (;;) {
        if (!condition()) {
            return false;
        }
        if (barrier()) {
            return condition();
        }
        if (deadline.hasExpired()) {
            return false;
        }
        pause();
    }
}

}  // namespace orvel::testing
