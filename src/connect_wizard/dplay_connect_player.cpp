// Page 0: the service provider and the player name.
#include <pwd.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cmath>
#include <cstdlib>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect_private.h"
#include "ui_common/message_box.h"

namespace orvel {

namespace {

// The longest name the user-name query hands back (a buffer of 255 with its terminating NUL).
constexpr int kMaxLogonName = 254;

// A stored list index: a whole number, else none (-1). Anything the store may hold that is not
// a number counts as no saved choice.
int32_t storedIndex(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < -2147483648.0 || value > 2147483647.0) {
        return -1;
    }
    return static_cast<int32_t>(std::nearbyint(value));
}

}  // namespace

QString DPlayConnect::LogonUserName() {
    QString name;
    if (const passwd* account = getpwuid(geteuid());
        account != nullptr && account->pw_name != nullptr) {
        name = QString::fromLocal8Bit(account->pw_name);
    }
    for (const char* variable : {"USER", "LOGNAME"}) {
        if (name.isEmpty()) {
            name = qEnvironmentVariable(variable);
        }
    }
    const qsizetype nul = name.indexOf(QChar(0));
    if (nul >= 0) {
        name.truncate(nul);
    }
    name.truncate(kMaxLogonName);
    if (name.isEmpty()) {
        // An account without a name (a bare user id in a container, say): a plain name the
        // player sees at once and can overwrite, rather than an empty box that refuses OK.
        name = QStringLiteral("Player");
    }
    return name;
}

void DPlayConnect::PrepareProviderPage(bool fAllowMigrateHost) {
    const int32_t savedIndex =
        storedIndex(GetDefault(QStringLiteral("SPListIndex"), QStringLiteral("-1")));

    lstSP->clear();
    if (dx8::DirectPlay8Session* platform = session()) {
        platform->RegisterMessageHandler(this);
        const int32_t count = platform->GetCountServiceProviders(0);
        for (int32_t i = 1; i <= count; ++i) {
            const dx8::DPN_SERVICE_PROVIDER_INFO provider = platform->GetServiceProvider(i);
            lstSP->addItem(provider.Name);
            // The last provider that carries "TCP" in its name is the one proposed.
            if (provider.Name.contains(QStringLiteral("TCP"), Qt::CaseSensitive)) {
                lstSP->setCurrentRow(lstSP->count() - 1);
            }
        }
    }
    const int providers = lstSP->count();
    if (selectedIndex(lstSP) < 0 && providers > 0) {
        lstSP->setCurrentRow(0);
    }
    // Compared before the lobby entry joins the list: a saved lobby choice is not restored.
    if (savedIndex >= 0 && savedIndex < providers) {
        lstSP->setCurrentRow(savedIndex);
    }
    lstSP->addItem(kLobbyEntry);
    if (providers == 0) {
        // Without a provider the lobby is the only way on.
        lstSP->setCurrentRow(0);
    }

    chkMigrate->setVisible(fAllowMigrateHost);
    txtUserName->setText(StoredUserName());
}

QString DPlayConnect::StoredUserName() {
    const QString name = GetDefault(QStringLiteral("UserName"));
    return name.isEmpty() ? LogonUserName() : name;
}

void DPlayConnect::cmdOk_Click() {
    AcceptProviderPage();
}

void DPlayConnect::lstSP_DblClick() {
    AcceptProviderPage();
}

void DPlayConnect::AcceptProviderPage() {
    if (txtUserName->text().isEmpty()) {
        MsgBox(this, QStringLiteral("Please enter a username before going on."),
               QStringLiteral("No username"), QMessageBox::Information);
        return;
    }
    const int selected = selectedIndex(lstSP);
    if (selected < 0) {
        // Only possible when the player has taken the selection away.
        MsgBox(this, QStringLiteral("Please select a service provider before going on."),
               QStringLiteral("No service provider"), QMessageBox::Information);
        return;
    }
    userName_ = txtUserName->text();
    SaveDefault(QStringLiteral("UserName"), userName_);
    SaveDefault(QStringLiteral("SPListIndex"), QString::number(selected));

    if (lstSP->count() == selected + 1) {
        pageAction(QStringLiteral("Unable to wait for a lobby connection."), [this] {
            if (lobbyApp) {
                lobbyApp->SetAppAvailable(true, 0);
            }
            ShowPage(LobbyPage);
        });
        return;
    }
    pageAction(QStringLiteral("Unable to use this service provider."), [this, selected] {
        deviceAddress = root_->DirectPlayAddressCreate();
        if (dx8::DirectPlay8Session* s = session()) {
            deviceAddress->SetSP(s->GetServiceProvider(selected + 1).Guid);
        }
        ShowPage(SessionPage);
    });
}

void DPlayConnect::cmdCancel_Click() {
    close();  // the close box's way: the wizard ends without a session
}

}  // namespace orvel
