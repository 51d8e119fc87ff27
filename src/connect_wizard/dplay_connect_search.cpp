// Page 1: the session search, the list of sessions with its expiry, and the join.
#include <QListWidget>
#include <QPushButton>

#include "connect_wizard/dplay_connect_private.h"
#include "net/paths/session_address_source.h"
#include "ui_common/message_box.h"

namespace orvel {

namespace {

QString sessionLine(const dx8::DPNMSG_ENUM_HOSTS_RESPONSE& answer) {
    const dx8::DPN_APPLICATION_DESC& desc = answer.ApplicationDescription;
    // The mark comes last, where no session name can reach.
    const bool password = (desc.lFlags & dx8::DPNSESSION_REQUIREPASSWORD) != 0;
    return desc.SessionName + QStringLiteral(" - ") + QString::number(desc.lCurrentPlayers) +
           QStringLiteral("/") + QString::number(desc.lMaxPlayers) + QStringLiteral(" - Latency:") +
           QString::number(answer.lRoundTripLatencyMS) + QStringLiteral(" ms") +
           (password ? DPlayConnect::kPasswordMark : QString());
}

int itemData(const QListWidgetItem* item) {
    return item->data(Qt::UserRole).toInt();
}

// The list as the player sees it, for the diagnostics.
void logLines(const QListWidget* list) {
    if (!lcWizard().isDebugEnabled()) {
        return;
    }
    QStringList lines;
    for (int row = 0; row < list->count(); ++row) {
        lines << list->item(row)->text();
    }
    qCDebug(lcWizard).noquote() << "lstGames:" << lines.join(QStringLiteral(" | "));
}

}  // namespace

void DPlayConnect::cmdRefresh_Click() {
    if (searching()) {
        stopSearch();
        cmdRefresh->setText(QStringLiteral("Start Search"));
        waitEnded();
        return;
    }
    pageAction(QStringLiteral("Unable to search for sessions."), [this] {
        setSearch(Search::Off);  // answers are listed again
        dx8::DPN_APPLICATION_DESC desc;
        desc.guidApplication = guid_;
        const dx8::DirectPlay8Address* device = deviceAddress.get();
        constexpr int32_t kForever = -1;
        constexpr int32_t kDefaultInterval = 0;
        const int asksBefore = dx8::sessionAddressSource().asks();
        try {
            if (dx8::DirectPlay8Session* s = session()) {
                enumHandle =
                    s->EnumHosts(desc, nullptr, device, kForever, kDefaultInterval, kForever,
                                 dx8::DPNENUMHOSTS_OKTOQUERYFORADDRESSING, QByteArray(), 0);
            }
        } catch (const dx8::DxError& e) {
            searchFailed(e.code(), asksBefore);
            return;
        }
        cmdRefresh->setText(QStringLiteral("Stop Search"));
        setSearch(Search::Listing);
        searchStarted(asksBefore);
    });
}

void DPlayConnect::ListSessionResponse(const dx8::DPNMSG_ENUM_HOSTS_RESPONSE& answer) {
    if (stopListing()) {
        return;
    }
    const uint32_t now = GetTickCount();
    auto entryFrom = [&answer, now] {
        SessionEntry entry;
        entry.Desc = answer.ApplicationDescription;
        entry.HostURL = answer.AddressSenderUrl;
        entry.DeviceURL = answer.AddressDeviceUrl;
        entry.LastSeen = now;
        return entry;
    };
    auto addLine = [this, &answer](int index) {
        auto* item = new QListWidgetItem(sessionLine(answer));
        item->setData(Qt::UserRole, index);
        lstGames->addItem(item);
    };

    if (lastSession == -1) {
        lstGames->clear();
        Sessions.assign(1, entryFrom());
        addLine(0);
        lastSession = 0;
        logLines(lstGames);
        return;
    }
    const QString& instance = answer.ApplicationDescription.guidInstance;
    for (int i = 0; i <= lastSession; ++i) {
        if (Sessions[static_cast<size_t>(i)].Desc.guidInstance == instance) {
            // The line follows the latest numbers; the stored description and addresses stay.
            Sessions[static_cast<size_t>(i)].LastSeen = now;
            for (int row = 0; row < lstGames->count(); ++row) {
                if (itemData(lstGames->item(row)) == i) {
                    lstGames->item(row)->setText(sessionLine(answer));
                }
            }
            logLines(lstGames);
            return;
        }
    }
    Sessions.push_back(entryFrom());
    addLine(lastSession + 1);
    ++lastSession;
    logLines(lstGames);
}

void DPlayConnect::tmrExpire_Timer() {
    const int bound = lastSession;
    for (int i = 0; i <= bound; ++i) {
        // A removal earlier in this tick may have cut the table short.
        if (i > lastSession || static_cast<size_t>(i) >= Sessions.size()) {
            return;
        }
        const uint32_t now = GetTickCount();
        const int32_t silent =
            static_cast<int32_t>(now - Sessions[static_cast<size_t>(i)].LastSeen);
        if (silent <= kSessionTimeoutMs) {
            continue;
        }
        for (int row = lstGames->count() - 1; row >= 0; --row) {
            if (itemData(lstGames->item(row)) == i) {
                delete lstGames->takeItem(row);
            }
        }
        Sessions.erase(Sessions.begin() + i);
        for (int row = lstGames->count() - 1; row >= 0; --row) {
            QListWidgetItem* item = lstGames->item(row);
            if (itemData(item) > i) {
                item->setData(Qt::UserRole, itemData(item) - 1);
            }
        }
        --lastSession;
        logLines(lstGames);
        // The entry that moved into place i is looked at again on the next tick.
    }
}

void DPlayConnect::cmdJoin_Click() {
    JoinSelectedSession();
}

void DPlayConnect::lstGames_DblClick() {
    JoinSelectedSession();
}

void DPlayConnect::JoinSelectedSession() {
    if (state_ == State::Joining) {
        // One join at a time: a second click while the first waits would connect twice.
        return;
    }
    const QList<QListWidgetItem*> selected = lstGames->selectedItems();
    const int index = selected.isEmpty() ? -1 : itemData(selected.first());
    if (index < 0 || index > lastSession || static_cast<size_t>(index) >= Sessions.size()) {
        MsgBox(this, QStringLiteral("You must first select a game from the list to join."),
               QStringLiteral("Select game."), QMessageBox::Information);
        return;
    }
    qCDebug(lcWizard) << "join clicked";
    const Search before = search_;
    pageAction(QStringLiteral("Unable to join the session."), [&] {
        try {
            joinAskingPassword(index);
        } catch (...) {
            setSearch(before);  // the join never started: the list goes on as it was
            throw;
        }
    });
}

void DPlayConnect::joinListedSession(const SessionEntry& entry, const QString& password) {
    announcePlayer();
    // The pick is made: answers are no longer listed, though the search itself goes on.
    setSearch(searching() ? Search::Muted : Search::Stopped);

    dx8::DPN_APPLICATION_DESC desc;
    desc.guidInstance = entry.Desc.guidInstance;
    desc.guidApplication = entry.Desc.guidApplication;
    desc.Password = password;
    maxPlayers_ = entry.Desc.lMaxPlayers;
    // An answer that named no address is reached through the provider's.
    const auto host = entry.HostURL.isEmpty() ? deviceAddress : addressAt(entry.HostURL);
    const auto device = entry.DeviceURL.isEmpty() ? deviceAddress : addressAt(entry.DeviceURL);
    joinSession(desc, host.get(), device.get(), dx8::DPNCONNECT_OKTOQUERYFORADDRESSING,
                entry.Desc.SessionName);
}

void DPlayConnect::cmdCancelGame_Click() {
    ShowPage(ProviderPage);
}

}  // namespace orvel
