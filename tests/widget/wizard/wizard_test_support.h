#pragma once

// The fixture of the wizard's widget tests: a wizard wired to test doubles, a clock the test
// moves, a message-box hook that records every box, and a clean settings store per test.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect.h"
#include "ui_common/message_box.h"
#include "wait.h"
#include "wizard_fakes.h"

namespace wizard_test {

inline const QString kGuid = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
inline const QString kTcpGuid = QStringLiteral("{EBFE7BA0-628D-11D2-AE0F-006097B01411}");
inline const QString kSerialGuid = QStringLiteral("{0F1D6860-88D9-11CF-9C4E-00A0C905425E}");

struct Box {
    QString text;
    QString caption;
    QMessageBox::Icon icon;
    int page;
};

using orvel::testing::waitUntil;

inline void clearSettings() {
    QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"),
                    orvel::kSettingsApp);
    store.clear();
    store.sync();
}

inline dx8::DPNMSG_ENUM_HOSTS_RESPONSE answer(const QString& name, const QString& instance,
                                              int32_t current, int32_t max, int32_t latency,
                                              const QString& hostUrl = QString(),
                                              const QString& deviceUrl = QString()) {
    dx8::DPNMSG_ENUM_HOSTS_RESPONSE a;
    a.ApplicationDescription.SessionName = name;
    a.ApplicationDescription.guidInstance = instance;
    a.ApplicationDescription.guidApplication = kGuid;
    a.ApplicationDescription.lCurrentPlayers = current;
    a.ApplicationDescription.lMaxPlayers = max;
    a.lRoundTripLatencyMS = latency;
    a.AddressSenderUrl = hostUrl;
    a.AddressDeviceUrl = deviceUrl;
    return a;
}

class WizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearSettings();
        orvel::SetMessageBoxHook(
            [this](QWidget*, const QString& text, const QString& caption, QMessageBox::Icon icon) {
                boxes.push_back({text, caption, icon, wizard ? wizard->currentPage() : -1});
            });
        peer->providers = {{0, kSerialGuid, QStringLiteral("Serial Connection")},
                           {0, kTcpGuid, QStringLiteral("Internet TCP/IP Connection")}};
        client->providers = peer->providers;
        makeWizard();
    }
    void TearDown() override {
        orvel::SetMessageBoxHook({});
        wizard.reset();
    }

    // Exactly count boxes so far, the last one saying text (under caption, with icon: where
    // given).
    ::testing::AssertionResult lastBox(size_t count, const std::optional<QString>& text,
                                       const std::optional<QString>& caption = {},
                                       std::optional<QMessageBox::Icon> icon = {}) const {
        if (boxes.size() != count) {
            return ::testing::AssertionFailure() << boxes.size() << " boxes, not " << count;
        }
        const Box& b = boxes.back();
        if ((text && b.text != *text) || (caption && b.caption != *caption) ||
            (icon && b.icon != *icon)) {
            return ::testing::AssertionFailure()
                   << "box \"" << b.text.toStdString() << "\" / \"" << b.caption.toStdString()
                   << "\" / icon " << b.icon;
        }
        return ::testing::AssertionSuccess();
    }

    // On to the session page with a search running; manualExpiry leaves the ticking to the test.
    static void startSearch(orvel::DPlayConnect& w, bool manualExpiry = false) {
        if (manualExpiry) {
            w.tmrExpire->stop();
        }
        w.cmdOk->click();
        w.cmdRefresh->click();
    }
    static void offer(orvel::DPlayConnect& w, dx8::DPNMSG_ENUM_HOSTS_RESPONSE a) {
        bool r = false;
        w.DirectPlay8Event_EnumHostsResponse(a, r);
    }
    static void openCreatePage(orvel::DPlayConnect& w) {
        w.cmdOk->click();
        w.cmdCreate->click();
    }
    // On to the session page, a search that finds a, and a's line picked.
    static void findAndPick(orvel::DPlayConnect& w, dx8::DPNMSG_ENUM_HOSTS_RESPONSE a) {
        startSearch(w);
        offer(w, std::move(a));
        w.lstGames->setCurrentRow(0);
    }

    void makeWizard() {
        wizard = std::make_unique<orvel::DPlayConnect>();
        wizard->createLobbiedApplication = [this] {
            lobbyCreated = true;
            return lobby;
        };
        wizard->GetTickCount = [this] { return now; };
    }

    // Runs the wizard; script runs inside its run loop. A script that leaves the wizard running
    // ends with the close box; a watchdog closes a wizard that hangs.
    bool run(const std::function<void(orvel::DPlayConnect&)>& script, bool allowMigrate = true,
             int32_t maxPlayers = 6, bool useClient = false) {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [this] {
            ADD_FAILURE() << "the wizard did not finish";
            wizard->close();
        });
        watchdog.start(orvel::testing::scaledMs(orvel::testing::kDefaultTimeoutMs));
        QTimer::singleShot(0, wizard.get(), [this, &script] {
            script(*wizard);
            if (!wizard->wizardDone()) {
                wizard->close();
            }
        });
        return useClient ? wizard->StartClientConnectWizard(root, client, kGuid, maxPlayers,
                                                            &callback, allowMigrate)
                         : wizard->StartConnectWizard(root, peer, kGuid, maxPlayers, &callback,
                                                      allowMigrate);
    }

    std::shared_ptr<dx8::DirectX8> root = std::make_shared<dx8::DirectX8>();
    std::shared_ptr<FakePeer> peer = std::make_shared<FakePeer>();
    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    std::shared_ptr<FakeLobby> lobby = std::make_shared<FakeLobby>();
    bool lobbyCreated = false;
    RecordingCallback callback;
    uint32_t now = 100000;
    std::vector<Box> boxes;
    std::unique_ptr<orvel::DPlayConnect> wizard;
};

}  // namespace wizard_test
