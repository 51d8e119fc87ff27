// The wizard's client variant against a real session: an `orvel` process hosts, and a wizard in
// this process (offscreen) searches and joins it through the platform's DirectPlay8Client.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include "connect_wizard/dplay_connect.h"
#include "orvel_player.h"
#include "session/mod_dplay.h"
#include "ui_common/message_box.h"
#include "wait.h"

using namespace wizard_it;

namespace {

using orvel::testing::waitUntil;

}  // namespace

TEST(WizardClient, SearchesAndJoinsARunningSession) {
    if (!orvel::testing::haveXvfb()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    wizard_it::Player host(QStringLiteral("host"));
    ASSERT_TRUE(host.ready());
    const QString session = QStringLiteral("Client Cup %1").arg(QCoreApplication::applicationPid());
    host.presetSettings({{"UserName", "Ann"}, {"GameName", session}});
    ASSERT_TRUE(host.start());
    const int port = host.hostWithPresets();
    ASSERT_GT(port, 0) << host.log().toStdString();

    // The search asks for no address: it goes to the host's port on loopback.
    qputenv("ORVEL_ENUM_ADDRESS", QStringLiteral("127.0.0.1:%1").arg(port).toLatin1());
    std::vector<QString> boxes;
    orvel::SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
        boxes.push_back(text);
    });
    auto root = std::make_shared<dx8::DirectX8>();
    std::shared_ptr<dx8::DirectPlay8Client> client = root->DirectPlayClientCreate();
    orvel::DPlayConnect wizard;
    bool searched = false;
    QTimer::singleShot(0, &wizard, [&] {
        wizard.txtUserName->setText(QStringLiteral("Cid"));
        wizard.cmdOk->click();
        EXPECT_EQ(wizard.currentPage(), 1);
        EXPECT_TRUE(wizard.cmdCreate->isHidden());
        wizard.cmdRefresh->click();
        searched = waitUntil(
            [&] {
                return wizard.lstGames->count() > 0 &&
                       wizard.lstGames->item(0)->text().startsWith(session + " - 1/6 - Latency:");
            },
            20000);
        if (!searched) {
            wizard.close();
            return;
        }
        wizard.lstGames->setCurrentRow(0);
        QTimer::singleShot(orvel::testing::scaledMs(orvel::testing::kDefaultTimeoutMs), &wizard,
                           [&] { wizard.close(); });  // a join that never ends
        wizard.cmdJoin->click();
    });
    const bool joined =
        wizard.StartClientConnectWizard(root, client, orvel::kApplicationGuid, 6, nullptr, true);
    orvel::SetMessageBoxHook({});
    EXPECT_TRUE(searched);
    EXPECT_TRUE(joined);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(wizard.IsHost());
    EXPECT_EQ(wizard.UserName(), "Cid");
    EXPECT_EQ(wizard.NumPlayers(), 6);
    // The host sees the client arrive.
    EXPECT_TRUE(host.waitLog(QRegularExpression(QStringLiteral(
                                 "CreatePlayer \\d+\\n(?:.*\\n)*?.*CreatePlayer \\d+")))
                    .hasMatch())
        << host.log().toStdString();

    client->UnRegisterMessageHandler();
    wizard.GoUnload();
    client->Close(0);
    client.reset();
    root.reset();
    host.closeWindow(host.waitWindow(QStringLiteral("^Orvel \\(HOST\\)$")));
    EXPECT_EQ(host.waitExit(), std::optional<int>(0));
}
