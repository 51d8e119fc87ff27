#pragma once

// The wizard's status line: what the player waits on, in the player's words, for every wait that
// may last longer than a glance (a search, a join), and its end; beside it a Cancel for a wait
// that may be given up. It also keeps the rule of the address history: an address goes into it
// once a session answered there.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

#include "platform/dx8/dx8_types.h"
#include "platform/dx8/play/peer_extras.h"

class QLabel;
class QPushButton;

namespace orvel {

// Where a search looks.
struct SearchTarget {
    enum class Kind { LocalNetwork, ThisComputer, Address };
    Kind kind = Kind::LocalNetwork;
    QString address;  // Address: as the player gave it, HOST or HOST:PORT
};

// A search has waited this long without an answer: the line says nobody answered.
constexpr int kNoAnswerMs = 5000;

// The line during a search; overdue once kNoAnswerMs have passed without a session listed.
QString searchWaitText(const SearchTarget& target, bool overdue);
// The line during a join of what ("Ann's race", "the session at 10.0.0.7:2302"), with the step
// the join is at and, while the host has not answered, the seconds waited.
QString joinWaitText(const QString& what, const dx8::JoinProgress& progress, int waitedMs);
// The box of a search that could not start; nullopt when there is nothing to tell (the player
// cancelled the address prompt). typed is the address the player gave, empty for none.
std::optional<QString> searchFailureText(dx8::HRESULT code, const QString& typed);

class WaitStatus : public QObject {
    Q_OBJECT
public:
    // line shows the text, cancel (hidden while no wait may be given up) gives the wait up; now
    // is the wizard's millisecond clock.
    WaitStatus(QLabel* line, QPushButton* cancel, std::function<uint32_t()> now,
               QObject* parent = nullptr);

    // A search has started; listed() counts the sessions the player sees.
    void searching(SearchTarget target, std::function<int()> listed);
    // A session answered the search (and was listed).
    void answered();
    // A join of what has started; progress() tells its step. With giveUp, Cancel shows and runs
    // it (once); the wait's end comes as for any join.
    void joining(const QString& what, std::function<dx8::JoinProgress()> progress,
                 std::function<void()> giveUp = {});
    // The wait is over (stopped, failed, or done).
    void clear();
    QString text() const;

private:
    enum class Wait { None, Search, Join };
    void begin(Wait wait);
    void refresh();

    QLabel* line_;
    QPushButton* cancel_;
    std::function<void()> giveUp_;
    std::function<uint32_t()> now_;
    QTimer ticker_;
    Wait wait_ = Wait::None;
    uint32_t since_ = 0;  // the wait began, or the list last showed a session
    SearchTarget target_;
    bool remembered_ = false;
    std::function<int()> listed_;
    QString joining_;
    std::function<dx8::JoinProgress()> progress_;
};

}  // namespace orvel
