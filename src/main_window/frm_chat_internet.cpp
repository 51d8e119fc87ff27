// The session and play across the internet as the main window shows them: the session's name
// and host, how others reach this player, and round trips in the roster, refreshed every few
// seconds.
#include <QLabel>
#include <QListWidget>
#include <QTimer>

#include "common/shown_text.h"
#include "main_window/frm_chat.h"
#include "main_window/internet_text.h"
#include "platform/dx8/play/peer_extras.h"
#include "session/mod_dplay.h"

namespace orvel {

namespace {

constexpr int kRosterRefreshMs = 3000;
constexpr qsizetype kShownSessionNameChars = 64;
// Any address beyond the LAN: only the route to it is looked up, nothing is sent.
constexpr uint32_t kBeyondTheLan = 0xC6336401u;  // 198.51.100.1, a documentation address

}  // namespace

void frmChat::watchInternet(bool hosting) {
    hosting_ = hosting;
    if (modDplay.portMapper) {
        connect(modDplay.portMapper.get(), &net::PortMapper::stateChanged, lblInternet,
                [this] { showReachability(); });
    }
    showReachability();
    showSession();
    if (rosterTimer_ == nullptr) {
        rosterTimer_ = new QTimer(this);
        connect(rosterTimer_, &QTimer::timeout, this, &frmChat::refreshRoster);
        rosterTimer_->start(kRosterRefreshMs);
    }
}

void frmChat::showReachability() {
    const std::shared_ptr<dx8::DirectPlay8Peer>& dpPeer = modDplay.dpPeer;
    Reach reach;
    reach.hosting = hosting_;
    reach.port = dpPeer ? dx8::sessionPortOf(dpPeer.get()) : 0;
    reach.lanIpv4 = dx8::localAddressToward(kBeyondTheLan);
    if (const net::PortMapper* mapper = modDplay.portMapper.get()) {
        reach.state = mapper->state();
        reach.mapping = mapper->mapping();
    }
    if (dpPeer) {
        reach.observed = dx8::reachabilityOf(dpPeer.get()).observed;
        const dx8::MeetStatus meet = dx8::meetStatusOf(dpPeer.get());
        if (meet.holding) {
            reach.code = meet.code;
            reach.codeUnasked = meet.way == dx8::MeetStatus::Way::Unasked;
        }
    }
    const QString text = reachabilityText(reach);
    if (text != lblInternet->text()) {
        lblInternet->setText(text);
        lblInternet->setToolTip(text);
        qCDebug(lcChat) << "reachability" << text;
    }
}

void frmChat::showSession() {
    const std::shared_ptr<dx8::DirectPlay8Peer>& dpPeer = modDplay.dpPeer;
    QString name = dpPeer ? dx8::sessionNameOf(dpPeer.get()) : QString();
    if (name.isEmpty() && modDplay.connectWizard) {
        name = modDplay.connectWizard->SessionName();
    }
    const dx8::DPNID host = modDplay.raceSession.hostId();
    const QString hostName = hosting_ || host == 0 ? QString() : modDplay.raceSession.nameOf(host);
    // The host chose the name: shown as any other player's text is.
    lblSession->setText(sessionText(shownText(name, kShownSessionNameChars), hosting_, hostName));
}

void frmChat::refreshRoster() {
    const std::shared_ptr<dx8::DirectPlay8Peer>& dpPeer = modDplay.dpPeer;
    if (!dpPeer) {
        return;
    }
    const dx8::Reachability reach = dx8::reachabilityOf(dpPeer.get());
    showReachability();
    for (int i = 0; i < lstUsers->count(); ++i) {
        QListWidgetItem* entry = lstUsers->item(i);
        const uint32_t id = entry->data(Qt::UserRole).toUInt();
        for (const dx8::PlayerPath& p : reach.players) {
            if (id != 0 && p.id == id) {
                entry->setData(kRttRole, p.rttMs);
                entry->setData(kRelayedRole, p.path == dx8::PathKind::Relayed);
                showRosterEntry(entry);
            }
        }
    }
}

void frmChat::showRosterEntry(QListWidgetItem* entry) {
    const uint32_t id = entry->data(Qt::UserRole).toUInt();
    const QVariant rtt = entry->data(kRttRole);
    const QString text = rosterEntryText(PlayerNameFromId(id), rtt.isValid() ? rtt.toInt() : -1,
                                         entry->data(kRelayedRole).toBool(),
                                         id != 0 && modDplay.raceSession.saysNoGame(id));
    if (text != entry->text()) {
        entry->setText(text);
        qCDebug(lcChat) << "roster entry" << text;
    }
}

}  // namespace orvel
