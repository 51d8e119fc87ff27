// The wizard's frame: its pages, keys, close and unload rules, waits, and event forwarding.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>

#include "notifications.h"
#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

QString captionOf(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        return label->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        return button->text();
    }
    if (const auto* frame = qobject_cast<const QGroupBox*>(w)) {
        return frame->title();
    }
    return QString();
}

struct ControlRow {
    int page;
    const char* name;
    const char* caption;  // nullptr: a control without a caption
    const char* buddy;    // the control a label's access key leads to
};

const ControlRow kControls[] = {
    {0, "lblSP", "Select your ser&vice provider:", "lstSP"},
    {0, "lstSP", nullptr, nullptr},
    {0, "lblUserName", "&Player Name:", "txtUserName"},
    {0, "txtUserName", nullptr, nullptr},
    {0, "cmdOk", "OK", nullptr},
    {0, "cmdCancel", "Cancel", nullptr},
    {1, "lblGames", "Click 'Start Search' to look for a session, or create one of your own.",
     nullptr},
    {1, "lstGames", nullptr, nullptr},
    {1, "cmdRefresh", "S&tart Search", nullptr},
    {1, "cmdJoin", "&Join", nullptr},
    {1, "cmdCreate", "&Create", nullptr},
    {1, "cmdCancelGame", "Cancel", nullptr},
    {2, "lblGameName", "Please enter the session &name", "txtGameName"},
    {2, "txtGameName", nullptr, nullptr},
    {2, "lblUsers", "N&umber of players in this session:", "txtUsers"},
    {2, "txtUsers", nullptr, nullptr},
    {2, "fraOptions", "Extra Session Options", nullptr},
    {2, "chkMigrate", "Migrate &Host", nullptr},
    {2, "cmdOkCreate", "OK", nullptr},
    {2, "cmdCancelCreate", "Cancel", nullptr},
    {3, "lblLobby", "Waiting for lobby connection", nullptr},
    {3, "cmdCancelLobby", "Cancel", nullptr},
};

}  // namespace

TEST_F(WizardTest, PagesHoldTheirControlsWithTheirCaptions) {
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        auto* control = wizard->findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(wizard->fraWiz[static_cast<size_t>(row.page)]->isAncestorOf(control));
        if (row.caption != nullptr) {
            EXPECT_EQ(captionOf(control), QString::fromUtf8(row.caption));
        }
        if (row.buddy != nullptr) {
            auto* label = qobject_cast<QLabel*>(control);
            ASSERT_NE(label, nullptr);
            ASSERT_NE(label->buddy(), nullptr);
            EXPECT_EQ(label->buddy()->objectName(), QString::fromLatin1(row.buddy));
        }
    }
    EXPECT_EQ(wizard->tmrExpire->interval(), 500);
    EXPECT_TRUE(wizard->tmrExpire->isActive());
}

TEST_F(WizardTest, WalksEveryTransitionOfThePageTable) {
    const bool result = run([&](DPlayConnect& w) {
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Choose Protocol");
        EXPECT_EQ(w.defaultButton(), w.cmdOk);
        EXPECT_TRUE(w.cmdOk->isDefault());
        EXPECT_EQ(w.cancelButton(), w.cmdCancel);
        EXPECT_TRUE(w.isVisible());
        EXPECT_FALSE(w.isModal());

        w.cmdOk->click();  // 0 -> 1
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Create or Join Session");
        EXPECT_EQ(w.cancelButton(), w.cmdCancelGame);
        // Page 1 assigns no default button: page 0's stays.
        EXPECT_EQ(w.defaultButton(), w.cmdOk);
        EXPECT_TRUE(w.cmdOk->isDefault());

        w.cmdCreate->click();  // 1 -> 2
        EXPECT_EQ(w.currentPage(), 2);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Create Session");
        EXPECT_EQ(w.defaultButton(), w.cmdOkCreate);
        EXPECT_TRUE(w.cmdOkCreate->isDefault());
        EXPECT_FALSE(w.cmdOk->isDefault());
        EXPECT_EQ(w.cancelButton(), w.cmdCancelCreate);
        EXPECT_EQ(w.focusWidget(), w.txtGameName);

        w.cmdCancelCreate->click();  // 2 -> 1
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_EQ(w.defaultButton(), w.cmdOkCreate);

        w.cmdCancelGame->click();  // 1 -> 0
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_EQ(w.defaultButton(), w.cmdOk);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Choose Protocol");

        w.lstSP->setCurrentRow(w.lstSP->count() - 1);  // the lobby entry: 0 -> 3
        w.cmdOk->click();
        EXPECT_EQ(w.currentPage(), 3);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Wait for lobby connection");
        EXPECT_EQ(w.defaultButton(), w.cmdCancelLobby);
        EXPECT_EQ(w.cancelButton(), w.cmdCancelLobby);
        EXPECT_EQ(w.focusWidget(), w.cmdCancelLobby);

        w.cmdCancelLobby->click();  // 3 -> 0
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_FALSE(w.wizardDone());

        w.cmdCancel->click();  // 0 -> finished
        EXPECT_TRUE(w.wizardDone());
    });
    EXPECT_FALSE(result);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(wizard->isHidden());
}

TEST_F(WizardTest, EscapeRunsThePageCancelButtonAndReturnTheDefault) {
    const bool result = run([&](DPlayConnect& w) {
        QTest::keyClick(w.txtUserName, Qt::Key_Return);  // OK
        EXPECT_EQ(w.currentPage(), 1);
        w.cmdCreate->click();
        QTest::keyClick(w.txtGameName, Qt::Key_Escape);  // cmdCancelCreate
        EXPECT_EQ(w.currentPage(), 1);
        QTest::keyClick(w.lstGames, Qt::Key_Escape);  // cmdCancelGame
        EXPECT_EQ(w.currentPage(), 0);
        w.lstSP->setCurrentRow(w.lstSP->count() - 1);
        QTest::keyClick(w.txtUserName, Qt::Key_Return);
        EXPECT_EQ(w.currentPage(), 3);
        QTest::keyClick(&w, Qt::Key_Escape);  // cmdCancelLobby
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_FALSE(w.wizardDone());
        QTest::keyClick(w.txtUserName, Qt::Key_Escape);  // cmdCancel
        EXPECT_TRUE(w.wizardDone());
    });
    EXPECT_FALSE(result);
}

TEST_F(WizardTest, AccessKeysReachTheirControls) {
    run([&](DPlayConnect& w) {
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        QWindow* window = w.windowHandle();
        QTest::keyClick(window, Qt::Key_P, Qt::AltModifier);
        EXPECT_TRUE(waitUntil([&] { return w.focusWidget() == w.txtUserName; }));
        QTest::keyClick(window, Qt::Key_V, Qt::AltModifier);
        EXPECT_TRUE(waitUntil([&] { return w.focusWidget() == w.lstSP; }));
        QTest::keyClick(window, Qt::Key_Return);
        ASSERT_TRUE(waitUntil([&] { return w.currentPage() == 1; }));

        QTest::keyClick(window, Qt::Key_T, Qt::AltModifier);  // S&tart Search
        EXPECT_TRUE(waitUntil([&] { return w.searchState() == 1; }));
        QTest::keyClick(window, Qt::Key_J, Qt::AltModifier);  // &Join, nothing selected
        EXPECT_TRUE(waitUntil([&] { return boxes.size() == 1; }));
        QTest::keyClick(window, Qt::Key_C, Qt::AltModifier);  // &Create
        ASSERT_TRUE(waitUntil([&] { return w.currentPage() == 2; }));

        QTest::keyClick(window, Qt::Key_U, Qt::AltModifier);
        EXPECT_TRUE(waitUntil([&] { return w.focusWidget() == w.txtUsers; }));
        QTest::keyClick(window, Qt::Key_N, Qt::AltModifier);
        EXPECT_TRUE(waitUntil([&] { return w.focusWidget() == w.txtGameName; }));
        const bool before = w.chkMigrate->isChecked();
        QTest::keyClick(window, Qt::Key_H, Qt::AltModifier);
        EXPECT_TRUE(waitUntil([&] { return w.chkMigrate->isChecked() != before; }));
        // Keys of pages that are not shown do nothing.
        QTest::keyClick(window, Qt::Key_T, Qt::AltModifier);
        // A key of this page afterwards: once it has acted, the one before would have too.
        QTest::keyClick(window, Qt::Key_H, Qt::AltModifier);
        EXPECT_TRUE(
            orvel::testing::staysUntil([&] { return w.searchState() == 1; },
                                       [&] { return w.chkMigrate->isChecked() == before; }));
    });
    ASSERT_TRUE(lastBox(1, {}, "Select game."));
}

TEST_F(WizardTest, CloseBoxOnAnyPageEndsWithFalseAndOnlyHidesTheWindow) {
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        makeWizard();
        QPointer<DPlayConnect> alive(wizard.get());
        const bool result = run([&](DPlayConnect& w) {
            w.txtUserName->setText(QStringLiteral("Ann"));
            if (page == 1 || page == 2) {
                w.cmdOk->click();
            }
            if (page == 2) {
                w.cmdCreate->click();
            }
            if (page == 3) {
                w.lstSP->setCurrentRow(w.lstSP->count() - 1);
                w.cmdOk->click();
            }
            ASSERT_EQ(w.currentPage(), page);
            EXPECT_FALSE(w.close());      // the unload is refused ...
            EXPECT_TRUE(w.wizardDone());  // ... but the wizard ends
        });
        EXPECT_FALSE(result);
        ASSERT_FALSE(alive.isNull());
        EXPECT_TRUE(wizard->isHidden());
        EXPECT_EQ(wizard->UserName(), page == 0 ? QString() : QStringLiteral("Ann"));
        EXPECT_TRUE(wizard->tmrExpire->isActive());
    }
}

TEST_F(WizardTest, GoUnloadStopsTheTimerAndLetsTheWindowGo) {
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        EXPECT_NE(w.deviceAddress, nullptr);
    });
    EXPECT_FALSE(wizard->close());  // still refused before GoUnload
    EXPECT_NE(wizard->deviceAddress, nullptr);
    wizard->GoUnload();
    EXPECT_FALSE(wizard->tmrExpire->isActive());
    EXPECT_TRUE(wizard->allowUnload());
    EXPECT_EQ(wizard->deviceAddress, nullptr);
    EXPECT_EQ(wizard->lobbyApp, nullptr);
    EXPECT_TRUE(wizard->close());  // a second request is not refused
    EXPECT_TRUE(wizard->isHidden());
}

TEST_F(WizardTest, RunWizardRegistersWithTheLobbyAndClosesItAtTheEnd) {
    run([&](DPlayConnect& w) {
        EXPECT_TRUE(lobbyCreated);
        EXPECT_EQ(lobby->handler, &w);
        EXPECT_EQ(w.lobbyApp, lobby);
        EXPECT_FALSE(lobby->calls.contains("Close"));
    });
    EXPECT_EQ(lobby->calls, (QStringList{"RegisterMessageHandler", "RegisterProgram", "Close"}));
    EXPECT_EQ(lobby->programFlags, 0);
    const QFileInfo self(QCoreApplication::applicationFilePath());
    EXPECT_EQ(lobby->program.lFlags, 0);
    EXPECT_EQ(lobby->program.guidApplication, kGuid);
    EXPECT_EQ(lobby->program.ApplicationName, self.completeBaseName());
    EXPECT_EQ(lobby->program.Description, "Orvel");
    EXPECT_EQ(lobby->program.ExecutableFilename, self.fileName());
    EXPECT_EQ(lobby->program.ExecutablePath, self.absolutePath());
    EXPECT_EQ(lobby->program.LauncherFilename, self.fileName());
    EXPECT_EQ(lobby->program.LauncherPath, self.absolutePath());
    EXPECT_TRUE(lobby->program.CommandLine.isEmpty());
    EXPECT_TRUE(lobby->program.CurrentDirectory.isEmpty());
    EXPECT_EQ(wizard->lobbyApp, nullptr);
    EXPECT_EQ(wizard->lobbyConnection, 0);
    EXPECT_FALSE(peer->calls.join(' ').contains("RegisterLobby"));  // no lobby connection
}

TEST_F(WizardTest, TheInertLobbyOfTheRootAcceptsTheWizardsCalls) {
    wizard->createLobbiedApplication = nullptr;
    const bool result = run([&](DPlayConnect& w) {
        ASSERT_NE(w.lobbyApp, nullptr);
        w.lstSP->setCurrentRow(w.lstSP->count() - 1);
        w.cmdOk->click();
        EXPECT_EQ(w.currentPage(), 3);
        w.cmdCancelLobby->click();
        EXPECT_EQ(w.currentPage(), 0);
    });
    EXPECT_FALSE(result);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(wizard->lobbyApp, nullptr);
}

TEST_F(WizardTest, LobbyEntryMakesTheProgramAvailableWithoutAnAddress) {
    run([&](DPlayConnect& w) {
        w.lstSP->setCurrentRow(2);
        w.cmdOk->click();
        EXPECT_EQ(w.currentPage(), 3);
        EXPECT_EQ(w.deviceAddress, nullptr);
        EXPECT_EQ(lobby->available, std::optional<bool>(true));
        w.cmdCancelLobby->click();
        EXPECT_EQ(lobby->available, std::optional<bool>(false));
    });
    EXPECT_TRUE(lobby->calls.contains("SetAppAvailable 1 0"));
    EXPECT_TRUE(lobby->calls.contains("SetAppAvailable 0 0"));
    EXPECT_EQ(orvel::GetDefault("SPListIndex"), "2");
    EXPECT_FALSE(peer->calls.join(' ').contains("GetServiceProvider 3"));
}

TEST_F(WizardTest, CloseFormClosesOnlyAfterTheCurrentHandler) {
    QWidget other;
    other.show();
    wizard->CloseForm(&other);
    EXPECT_TRUE(other.isVisible());
    EXPECT_TRUE(waitUntil([&] { return !other.isVisible(); }));
    wizard->CloseForm(nullptr);  // nothing to close, nothing breaks
    QCoreApplication::processEvents();
}

TEST_F(WizardTest, DoSleepWaitsAndHandlesPendingEvents) {
    bool ran = false;
    QMetaObject::invokeMethod(
        wizard.get(), [&] { ran = true; }, Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    wizard->DoSleep(30);
    EXPECT_GE(timer.elapsed(), 29);
    EXPECT_TRUE(ran);

    ran = false;
    QMetaObject::invokeMethod(
        wizard.get(), [&] { ran = true; }, Qt::QueuedConnection);
    wizard->DoSleep(0);
    EXPECT_TRUE(ran);
}

namespace {

const QStringList kAllEvents =
    QStringLiteral(
        "AddRemovePlayerGroup AppDesc AsyncOpComplete ConnectComplete CreateGroup "
        "CreatePlayer DestroyGroup DestroyPlayer EnumHostsQuery EnumHostsResponse "
        "HostMigrate IndicateConnect IndicatedConnectAborted InfoNotify Receive "
        "SendComplete TerminateSession")
        .split(u' ');

// Delivers every notification once, in the order of the interface; the answers to fRejectMsg.
std::vector<bool> deliverAll(DPlayConnect& w) {
    orvel::testing::NotificationMessages messages;
    messages.response = answer("S", "{1}", 1, 6, 5);
    std::vector<bool> rejects;
    for (const auto& row : orvel::testing::everyNotification(messages)) {
        bool r = false;
        row.deliver(w, r);
        rejects.push_back(r);
    }
    return rejects;
}

}  // namespace

TEST_F(WizardTest, ForwardsAllSeventeenNotificationsWithTheRejectAnswer) {
    run([&](DPlayConnect& w) {
        EXPECT_EQ(peer->handler, &w);         // the wizard is the peer's handler
        orvel::testing::NotificationLog all;  // rejects every notification
        w.RegisterCallback(&all);
        const std::vector<bool> rejects = deliverAll(w);
        QStringList events;
        for (const orvel::testing::Notification& n : all.calls) {
            events << kAllEvents.value(static_cast<int>(n[0]));
        }
        EXPECT_EQ(events, kAllEvents);
        EXPECT_EQ(rejects, std::vector<bool>(17, true));
        // The wizard's own work happened too.
        EXPECT_TRUE(w.connectDone());
        EXPECT_TRUE(w.connectOK());
        EXPECT_EQ(w.lstGames->count(), 1);
    });
}

TEST_F(WizardTest, WithoutCallbackTheOwnWorkStillHappens) {
    run([&](DPlayConnect& w) {
        w.RegisterCallback(nullptr);
        EXPECT_EQ(deliverAll(w), std::vector<bool>(17, false));
        EXPECT_TRUE(callback.events.isEmpty());
        EXPECT_TRUE(w.connectDone());
        EXPECT_TRUE(w.connectOK());
        ASSERT_EQ(w.lstGames->count(), 1);
        EXPECT_EQ(w.lstGames->item(0)->text(), "S - 1/6 - Latency:5 ms");
    });
}

TEST_F(WizardTest, RegisterCallbackReplacesTheCallback) {
    RecordingCallback other;
    run([&](DPlayConnect& w) {
        w.RegisterCallback(&other);
        bool r = false;
        w.DirectPlay8Event_CreatePlayer(3, r);
    });
    EXPECT_TRUE(callback.events.isEmpty());
    EXPECT_EQ(other.events, QStringList{"CreatePlayer"});
}

TEST_F(WizardTest, ACallbackFailureReachesThePlatformAfterTheOwnWork) {
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        callback.failOn = "EnumHostsResponse";
        bool r = false;
        auto a = answer("S", "{1}", 1, 6, 5);
        try {
            w.DirectPlay8Event_EnumHostsResponse(a, r);
            ADD_FAILURE() << "the failure was swallowed";
        } catch (const dx8::DxError& e) {
            EXPECT_EQ(e.code(), dx8::E_FAIL);
        }
        EXPECT_EQ(w.lstGames->count(), 1);
    });
}

TEST_F(WizardTest, ForwardingGoesOnAfterTheWizardHasReturned) {
    run([&](DPlayConnect& w) { w.cmdCancel->click(); });
    bool r = false;
    dx8::DPNMSG_RECEIVE chat;
    chat.ReceivedData = QByteArray("\0\0\0\0hi", 6);
    wizard->DirectPlay8Event_Receive(chat, r);
    ASSERT_EQ(callback.received.size(), 1u);
    EXPECT_EQ(callback.received[0], chat.ReceivedData);
}

// Once in a session, hosted or joined, the wizard steps aside: the callback is the peer's (or the
// client's) own handler. A wizard that ended without a session keeps it until shutdown.
TEST_F(WizardTest, InASessionTheCallbackBecomesTheHandler) {
    const struct {
        const char* what;
        bool useClient;
        std::function<void(DPlayConnect&)> script;
        bool inSession;
    } cases[] = {
        {"hosted", false,
         [](DPlayConnect& w) {
             openCreatePage(w);
             w.txtGameName->setText("Cup");
             w.cmdOkCreate->click();
         },
         true},
        {"joined", false,
         [](DPlayConnect& w) {
             findAndPick(w, answer("S", "{1}", 1, 6, 5));
             w.cmdJoin->click();
         },
         true},
        {"joined as a client", true,
         [](DPlayConnect& w) {
             findAndPick(w, answer("S", "{1}", 1, 6, 5));
             w.cmdJoin->click();
         },
         true},
        {"cancelled", false, [](DPlayConnect& w) { w.cmdCancel->click(); }, false},
    };
    for (const auto& c : cases) {
        makeWizard();
        EXPECT_EQ(run(c.script, true, 6, c.useClient), c.inSession) << c.what;
        const dx8::DirectPlay8Event* handler = c.useClient ? client->handler : peer->handler;
        const dx8::DirectPlay8Event* expected = &callback;
        if (!c.inSession) {
            expected = wizard.get();
        }
        EXPECT_EQ(handler, expected) << c.what;
    }
}
