#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace dx8 {

// Delivers notifications on the GUI thread in the order they were posted, one at a time: while a
// notification runs (also while it sits in a nested event loop such as a message box), later
// ones wait and follow once it has returned. Each platform object that calls back into the
// system owns one. A DxError or other exception escaping a notification is caught here and
// logged; it never reaches the event loop.
class SerialDispatcher : public QObject {
    Q_OBJECT
public:
    explicit SerialDispatcher(QObject* parent = nullptr);

    // Callable from any thread.
    void post(std::function<void()> notification);
    // On the dispatcher's thread with nothing queued or running, runs the notification at once
    // (saving a trip through the event loop); otherwise posts it. The caller must be ready for
    // the notification to run inside this call.
    void postOrRun(std::function<void()> notification);
    // Drops everything not yet delivered.
    void discardPending();

    bool running() const { return running_; }
    size_t pendingCount() const;

private:
    void drain();
    void run(std::function<void()>& notification);

    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool scheduled_ = false;  // a drain call is queued on the event loop
    bool running_ = false;    // GUI thread only
};

}  // namespace dx8
