#include "connect_wizard/wait_status.h"

#include <QHostAddress>
#include <QLabel>
#include <QPushButton>
#include <utility>

#include "common/command_line.h"
#include "connect_wizard/session_address_dialog.h"
#include "platform/dx8/play/peer_extras.h"
#include "net/paths/meet_protocol.h"

namespace orvel {

namespace {

constexpr int kRefreshMs = 250;
// A host that has not answered for this long is worth counting the seconds for.
constexpr int kCountFromMs = 2000;

// A session code where a meeting point is set: eight code symbols written with a dash or space.
std::optional<meet::Code> codeTyped(const QString& typed) {
    const bool written = typed.contains(QLatin1Char('-')) || typed.contains(QLatin1Char(' '));
    return written && !dx8::meetPoint().isEmpty() ? meet::parseCode(typed) : std::nullopt;
}

// "10.0.0.7:2302" as given; a host without a port is asked on every session port.
QString shownAddress(const QString& typed) {
    if (const auto code = codeTyped(typed)) {
        return QStringLiteral("code %1 at the meeting point").arg(meet::formatCode(*code));
    }
    const auto address = cli::parseHostPort(typed, 0);
    if (address && address->port == 0) {
        return QStringLiteral("%1 on ports %2-%3")
            .arg(address->host)
            .arg(dx8::kDefaultSessionPort)
            .arg(dx8::kLastSessionPort);
    }
    return typed;
}

}  // namespace

QString searchWaitText(const SearchTarget& target, bool overdue) {
    using Kind = SearchTarget::Kind;
    const int seconds = kNoAnswerMs / 1000;
    switch (target.kind) {
        case Kind::Address:
            return overdue ? QStringLiteral("Nobody answered at %1 after %2 s.")
                                 .arg(shownAddress(target.address))
                                 .arg(seconds)
                           : QStringLiteral("Asking %1...").arg(shownAddress(target.address));
        case Kind::ThisComputer:
            return overdue
                       ? QStringLiteral("Nobody answered on this computer after %1 s.").arg(seconds)
                       : QStringLiteral("Searching on this computer...");
        case Kind::LocalNetwork:
            break;
    }
    return overdue ? QStringLiteral("Nobody answered on the local network after %1 s.").arg(seconds)
                   : QStringLiteral("Searching on the local network...");
}

QString joinWaitText(const QString& what, const dx8::JoinProgress& progress, int waitedMs) {
    using Step = dx8::JoinProgress::Step;
    const QString joining = QStringLiteral("Joining %1...").arg(what);
    switch (progress.step) {
        case Step::ReachingHost:
            return waitedMs < kCountFromMs
                       ? joining + QStringLiteral(" Reaching the host.")
                       : joining +
                             QStringLiteral(" Reaching the host (%1 s).").arg(waitedMs / 1000);
        case Step::Asking:
            return joining + QStringLiteral(" The host answered; asking to join.");
        case Step::Linking:
            return joining + QStringLiteral(" Linking to the other players (%1 of %2).")
                                 .arg(progress.linked)
                                 .arg(progress.players);
        case Step::Finishing:
            return joining + QStringLiteral(" The host is adding you.");
        case Step::None:
            break;
    }
    return joining;
}

std::optional<QString> searchFailureText(dx8::HRESULT code, const QString& typed) {
    if (code == dx8::DPNERR_USERCANCEL) {
        return std::nullopt;
    }
    if (code == dx8::DPNERR_INVALIDHOSTADDRESS && codeTyped(typed)) {
        return QStringLiteral("No session has the code %1 at the meeting point %2.")
            .arg(meet::formatCode(*codeTyped(typed)), dx8::meetPoint());
    }
    if (code == dx8::DPNERR_INVALIDHOSTADDRESS && !typed.isEmpty()) {
        const auto address = cli::parseHostPort(typed, 0);
        if (!address) {
            return QStringLiteral("\"%1\" is not an address.").arg(typed);
        }
        if (QHostAddress(address->host).isNull()) {
            return QStringLiteral(
                       "No computer called \"%1\" was found: the name is unknown to "
                       "this computer's name service.")
                .arg(address->host);
        }
        return QStringLiteral("%1 cannot be asked.").arg(typed);
    }
    const QString where = typed.isEmpty() ? QString() : QStringLiteral(" at %1").arg(typed);
    return QStringLiteral("Unable to search for sessions%1.  Error: %2")
        .arg(where, dx8::hresultHex(code));
}

WaitStatus::WaitStatus(QLabel* line, QPushButton* cancel, std::function<uint32_t()> now,
                       QObject* parent)
    : QObject(parent), line_(line), cancel_(cancel), now_(std::move(now)) {
    ticker_.setInterval(kRefreshMs);
    connect(&ticker_, &QTimer::timeout, this, &WaitStatus::refresh);
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, [this] {
        cancel_->setEnabled(false);  // given up once; the wait ends when the platform says so
        if (const auto giveUp = std::exchange(giveUp_, {})) {
            giveUp();
        }
    });
}

void WaitStatus::searching(SearchTarget target, std::function<int()> listed) {
    target_ = std::move(target);
    remembered_ = false;
    listed_ = std::move(listed);
    begin(Wait::Search);
}

void WaitStatus::answered() {
    if (wait_ != Wait::Search) {
        return;
    }
    // Only an address where a session answered is worth offering again.
    if (target_.kind == SearchTarget::Kind::Address && !remembered_) {
        remembered_ = true;
        rememberAnsweredHost(target_.address);
    }
    refresh();
}

void WaitStatus::joining(const QString& what, std::function<dx8::JoinProgress()> progress,
                         std::function<void()> giveUp) {
    joining_ = what;
    progress_ = std::move(progress);
    giveUp_ = std::move(giveUp);
    cancel_->setEnabled(true);
    cancel_->setVisible(static_cast<bool>(giveUp_));
    begin(Wait::Join);
}

void WaitStatus::begin(Wait wait) {
    wait_ = wait;
    since_ = now_();
    ticker_.start();
    refresh();
}

void WaitStatus::clear() {
    wait_ = Wait::None;
    giveUp_ = {};
    cancel_->hide();
    ticker_.stop();
    refresh();
}

QString WaitStatus::text() const {
    return line_->text();
}

void WaitStatus::refresh() {
    const uint32_t now = now_();
    const auto waited = static_cast<int32_t>(now - since_);
    QString text;
    if (wait_ == Wait::Search) {
        if (listed_ && listed_() > 0) {
            since_ = now;  // the list itself tells; a new wait begins when it empties
        } else {
            text = searchWaitText(target_, waited >= kNoAnswerMs);
        }
    } else if (wait_ == Wait::Join) {
        text = joinWaitText(joining_, progress_ ? progress_() : dx8::JoinProgress{}, waited);
    }
    if (line_->text() != text) {
        line_->setText(text);
    }
}

}  // namespace orvel
