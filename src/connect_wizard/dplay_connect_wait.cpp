// The status line under the wizard's pages: what a search or a join waits on, and a search that
// could not start told with the address the player gave.
#include <QBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <utility>

#include "connect_wizard/dplay_connect_private.h"
#include "connect_wizard/wait_status.h"
#include "net/paths/session_address_source.h"
#include "platform/dx8/play/peer_extras.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

namespace {

// What the player gave when the search asked, if it asked since asksBefore; empty otherwise.
QString addressGiven(int asksBefore) {
    const dx8::SessionAddressSource& source = dx8::sessionAddressSource();
    return source.asks() != asksBefore ? source.lastAnswer().value_or(QString()) : QString();
}

}  // namespace

void DPlayConnect::buildStatusLine(QLayout* layout) {
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Two lines are always kept for it, so that a text coming or going never moves the page.
    lblStatus->setFixedHeight(2 * lblStatus->fontMetrics().lineSpacing() + 2);
    cmdCancelWait = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancelWait->setObjectName(QStringLiteral("cmdCancelWait"));
    auto* line = new QHBoxLayout;
    line->addWidget(lblStatus, 1);
    line->addWidget(cmdCancelWait, 0, Qt::AlignTop);
    layout->addItem(line);
    waitStatus_ = new WaitStatus(
        lblStatus, cmdCancelWait, [this] { return GetTickCount(); }, this);
}

void DPlayConnect::searchStarted(int asksBefore) {
    SearchTarget target;
    const QString typed = addressGiven(asksBefore);
    if (!typed.isEmpty()) {
        target = {SearchTarget::Kind::Address, typed};
    } else if (dx8::sessionAddressSource().searchLoopbackOnly()) {
        target.kind = SearchTarget::Kind::ThisComputer;
    }
    waitStatus_->searching(target, [this] { return lstGames->count(); });
}

void DPlayConnect::searchFailed(dx8::HRESULT code, int asksBefore) {
    waitStatus_->clear();
    const QString typed = addressGiven(asksBefore);
    qCDebug(lcWizard) << "search failed" << dx8::hresultHex(code) << typed;
    if (const auto text = searchFailureText(code, typed)) {
        MsgBox(this, *text, QStringLiteral("Error"), QMessageBox::Critical, adviceFor(code));
    }
}

void DPlayConnect::searchAnswered() {
    if (!stopListing()) {
        waitStatus_->answered();
    }
}

void DPlayConnect::joinWaitStarted(const QString& what, const dx8::DirectPlay8Address* host,
                                   std::function<void()> giveUp) {
    QString named = what;
    if (named.isEmpty() && host != nullptr && host->HasComponent(dx8::DPNA_KEY_HOSTNAME)) {
        named = QStringLiteral("the session at %1")
                    .arg(host->GetComponentString(dx8::DPNA_KEY_HOSTNAME));
        if (host->HasComponent(dx8::DPNA_KEY_PORT)) {
            named += QLatin1Char(':') + host->GetComponentString(dx8::DPNA_KEY_PORT);
        }
    }
    if (named.isEmpty()) {
        named = QStringLiteral("the session");
    }
    waitStatus_->joining(
        named, [this] { return dx8::joinProgressOf(peer_.get()); }, std::move(giveUp));
}

void DPlayConnect::waitEnded() {
    waitStatus_->clear();
}

}  // namespace orvel
