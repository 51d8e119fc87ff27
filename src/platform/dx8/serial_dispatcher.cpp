#include "platform/dx8/serial_dispatcher.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <exception>

#include "platform/dx8/dx8_types.h"

Q_LOGGING_CATEGORY(lcDispatch, "orvel.dx8", QtCriticalMsg)

namespace dx8 {

SerialDispatcher::SerialDispatcher(QObject* parent) : QObject(parent) {}

void SerialDispatcher::post(std::function<void()> notification) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(notification));
        if (!scheduled_) {
            scheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        QMetaObject::invokeMethod(this, &SerialDispatcher::drain, Qt::QueuedConnection);
    }
}

void SerialDispatcher::postOrRun(std::function<void()> notification) {
    bool runNow = false;
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        if (QThread::currentThread() != thread() || running_ || !queue_.empty()) {
            queue_.push_back(std::move(notification));
            if (!scheduled_) {
                scheduled_ = true;
                schedule = true;
            }
        } else {
            running_ = true;
            runNow = true;
        }
    }
    if (schedule) {
        QMetaObject::invokeMethod(this, &SerialDispatcher::drain, Qt::QueuedConnection);
    }
    if (!runNow) {
        return;
    }
    const QPointer<SerialDispatcher> alive(this);
    run(notification);
    if (!alive) {
        return;
    }
    running_ = false;
    // Whatever the notification posted meanwhile found the dispatcher busy; deliver it now.
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
            scheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        QMetaObject::invokeMethod(this, &SerialDispatcher::drain, Qt::QueuedConnection);
    }
}

void SerialDispatcher::run(std::function<void()>& notification) {
    try {
        notification();
    } catch (const DxError& e) {
        qCDebug(lcDispatch) << "handler failed with" << hresultHex(e.code());
    } catch (const std::exception& e) {
        qCWarning(lcDispatch) << "handler failed:" << e.what();
    } catch (...) {
        // Anything else must not leave the dispatcher marked busy for good.
        qCWarning(lcDispatch) << "handler failed with an unknown exception";
    }
}

void SerialDispatcher::discardPending() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

size_t SerialDispatcher::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void SerialDispatcher::drain() {
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
    }
    // A nested event loop inside a running notification lands here: the outer drain delivers
    // the rest once that notification has returned.
    if (running_) {
        return;
    }
    running_ = true;
    // A notification may end with this dispatcher's owner released (shutdown).
    const QPointer<SerialDispatcher> alive(this);
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                break;
            }
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        run(next);
        if (!alive) {
            return;
        }
    }
    running_ = false;
}

}  // namespace dx8
