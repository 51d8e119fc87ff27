// Play across the internet as the main window shows it: the host's line on how others join, and
// round trips in the roster, refreshed every few seconds.
#include <QLabel>
#include <QListWidget>
#include <QTimer>

#include "main_window/frm_chat.h"
#include "main_window/internet_text.h"
#include "platform/dx8/play/session_extras.h"
#include "session/mod_dplay.h"

namespace orvel {

namespace {

constexpr int kRosterRefreshMs = 3000;
// Any address beyond the LAN: only the route to it is looked up, nothing is sent.
constexpr uint32_t kBeyondTheLan = 0xC6336401u;  // 198.51.100.1, a documentation address

}  // namespace

void frmChat::watchInternet(bool hosting) {
    const std::unique_ptr<net::PortMapper>& portMapper = modDplay.portMapper;
    if (hosting && portMapper) {
        const auto show = [this, mapper = portMapper.get()] {
            const std::shared_ptr<dx8::DirectPlay8Peer>& dpPeer = modDplay.dpPeer;
            const QString text = internetJoinText(mapper->state(), mapper->mapping(),
                                                  dpPeer ? dx8::sessionPortOf(dpPeer.get()) : 0,
                                                  dx8::localAddressToward(kBeyondTheLan));
            lblInternet->setText(text);
            lblInternet->setVisible(!text.isEmpty());
            setFixedHeight(text.isEmpty() ? heightWithoutInternet_ : heightWithInternet_);
        };
        connect(portMapper.get(), &net::PortMapper::stateChanged, lblInternet, show);
        show();
    }
    if (rosterTimer_ == nullptr) {
        rosterTimer_ = new QTimer(this);
        connect(rosterTimer_, &QTimer::timeout, this, &frmChat::refreshRoster);
        rosterTimer_->start(kRosterRefreshMs);
    }
}

void frmChat::refreshRoster() {
    const std::shared_ptr<dx8::DirectPlay8Peer>& dpPeer = modDplay.dpPeer;
    if (!dpPeer) {
        return;
    }
    const dx8::Reachability reach = dx8::reachabilityOf(dpPeer.get());
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
