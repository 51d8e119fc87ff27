#include "game_link/tick_pacer.h"

#include <QSocketNotifier>
#include <QTimer>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/game_log.h"
#include "platform/os/os_services.h"

namespace orvel::gamelink {

TickPacer::TickPacer(QTimer* timer) : timer_(timer) {}

TickPacer::~TickPacer() {
    stop();
}

void TickPacer::afterTick(GameState state) {
    if (stopped_ || state != GameState::NotFound || !timer_->isActive()) {
        return;
    }
    // A window of the title that is not (yet) the game keeps the ticks going: whatever may make
    // it the game later (its process's memory, say) is no news of a window.
    os::OsServices& os = os::services();
    const int handle = os.WindowNewsHandle();
    if (handle >= 0 && os.FindWindows(GameTitle).empty()) {
        rest(handle);
    }
}

void TickPacer::rest(int handle) {
    if (notifier_ == nullptr || notifier_->socket() != handle) {
        delete notifier_;
        notifier_ = new QSocketNotifier(handle, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            if (os::services().TakeWindowNews()) {
                wake();
            }
        });
    }
    timer_->stop();
    notifier_->setEnabled(true);
    resting_ = true;
    // Until the news, "no game" is the answer for whoever asks whether a race is on.
    holdTickAnswer(true);
    qCDebug(lcGame) << "no game: waiting for news of its window";
}

void TickPacer::wake() {
    notifier_->setEnabled(false);
    resting_ = false;
    holdTickAnswer(false);
    if (!stopped_) {
        // The next tick looks; news comes in bursts, and one look serves them all.
        timer_->start();
    }
}

void TickPacer::stop() {
    stopped_ = true;
    if (notifier_ != nullptr) {
        notifier_->setEnabled(false);
    }
    if (resting_) {
        resting_ = false;
        holdTickAnswer(false);
    }
}

}  // namespace orvel::gamelink
