// Start-up and shutdown of the main window in this process (offscreen, no X display): the
// wizard is driven through its controls, the platform objects are the real ones, and the
// steps are read from the "orvel.startup" diagnostics.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QHostAddress>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QUuid>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect.h"
#include "main_window/frm_chat.h"
#include "session/restart_record.h"
#include "net/trust/return_key.h"
#include "session/mod_dplay.h"
#include "startup_steps.h"
#include "ui_common/message_box.h"

namespace {

using orvel::testing::kReleaseOrder;
using orvel::testing::only;

QStringList steps;
QtMessageHandler defaultHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (context.category != nullptr && QByteArray(context.category) == "orvel.startup") {
        steps << message;
        return;
    }
    if (message.contains(QLatin1String("propagateSizeHints"))) {
        return;
    }
    defaultHandler(type, context, message);
}

orvel::DPlayConnect* shownWizard() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* wizard = qobject_cast<orvel::DPlayConnect*>(w); wizard && wizard->isVisible()) {
            return wizard;
        }
    }
    return nullptr;
}

// Runs action on the wizard once it shows (and is ready), from inside start-up's wait.
void whenWizardShows(std::function<void(orvel::DPlayConnect&)> action,
                     std::function<bool(orvel::DPlayConnect&)> ready = {}) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, action, ready] {
        if (orvel::DPlayConnect* wizard = shownWizard(); wizard && (!ready || ready(*wizard))) {
            poll->stop();
            poll->deleteLater();
            action(*wizard);
        }
    });
    poll->start();
}

void host(orvel::DPlayConnect& w, const QString& name) {
    w.txtUserName->setText(QStringLiteral("Ann"));
    w.cmdOk->click();
    w.cmdCreate->click();
    w.txtGameName->setText(name);
    w.cmdOkCreate->click();
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        steps.clear();
        QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"),
                  orvel::kSettingsApp)
            .clear();
        orvel::SetMessageBoxHook([this](QWidget*, const QString& text, const QString&,
                                        QMessageBox::Icon) { boxes << text; });
    }
    void TearDown() override {
        orvel::SetMessageBoxHook({});
        EXPECT_EQ(dx.connectWizard, nullptr);
        EXPECT_EQ(dx.dpPeer, nullptr);
        EXPECT_EQ(dx.dxRoot, nullptr);
    }
    QStringList boxes;
    orvel::ModDplay dx;
};

}  // namespace

TEST_F(Startup, CancellingTheWizardReleasesEverythingAndNeverShowsTheWindow) {
    orvel::frmChat window(dx);
    whenWizardShows([](orvel::DPlayConnect& w) { w.cmdCancel->click(); });
    EXPECT_FALSE(window.Form_Load());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(only(steps, kReleaseOrder), kReleaseOrder);
    EXPECT_TRUE(steps.contains("wizard result false"));
    EXPECT_EQ(dx.keyboardEvent, 0);
    EXPECT_EQ(dx.diKeyboard, nullptr);
    EXPECT_EQ(dx.diInput, nullptr);
}

TEST_F(Startup, TheHostIsMarkedAndGameVersionRestoredThenShutdownReleasesInOrder) {
    struct Case {
        const char* stored;
        bool mx;
    };
    for (const Case& c : {Case{"1", true}, Case{"01", false}, Case{"1 ", false}}) {
        SCOPED_TRACE(c.stored);
        steps.clear();
        orvel::SaveDefault(QStringLiteral("GameVersion"), QString::fromLatin1(c.stored));
        orvel::frmChat window(dx);
        whenWizardShows([](orvel::DPlayConnect& w) { host(w, QStringLiteral("Startup Cup")); });
        ASSERT_TRUE(window.Form_Load());
        EXPECT_EQ(window.windowTitle(), "Orvel (HOST)");
        EXPECT_EQ(window.localPlayerName, "Ann");
        EXPECT_EQ(window.mx->isChecked(), c.mx);
        EXPECT_NE(dx.dpPeer, nullptr);
        window.show();
        window.close();
        EXPECT_EQ(only(steps, kReleaseOrder), kReleaseOrder);
        EXPECT_TRUE(steps.contains("unload main window"));
    }
    EXPECT_TRUE(boxes.isEmpty());
}

// A close request that reaches the main window while start-up still waits in the wizard (a
// failed connect reported by the main window's handler, say) waits for start-up to finish, and
// the program then ends through the ordinary shutdown.
TEST_F(Startup, ACloseRequestDuringStartupWaitsForStartupToFinish) {
    orvel::frmChat window(dx);
    whenWizardShows([this, &window](orvel::DPlayConnect& w) {
        dx.connectWizard->CloseForm(&window);
        QCoreApplication::processEvents();  // the request arrives while the wizard runs
        host(w, QStringLiteral("Doomed Cup"));
    });
    EXPECT_FALSE(window.Form_Load());
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(steps.contains("wizard result true"));
    EXPECT_EQ(only(steps, kReleaseOrder), kReleaseOrder);
    EXPECT_EQ(steps.count("unload main window"), 1);
}

// Started again soon after a drop, the program tries to come back; Cancel gives that up for good
// and the first page comes instead of the end of the program.
TEST_F(Startup, ACancelledComeBackForgetsItsRecordAndShowsTheFirstPage) {
    QUdpSocket nobody;  // the host in the record (127.0.0.1): there, nobody answers
    ASSERT_TRUE(nobody.bind(QHostAddress::LocalHost, 0));
    const dx8::ReturnKey key;
    const dx8::ReturnTicket ticket{
        QUuid::createUuid(), {}, 3, QStringLiteral("Ann"), {{{0x7F000001, nobody.localPort()}, 1}},
        key.secret(), 0, {}};
    ASSERT_TRUE(dx8::writeRestartRecord(
        {ticket, QStringLiteral("Cup"), QDateTime::currentMSecsSinceEpoch()}));
    orvel::SaveDefault(QStringLiteral("UserName"), QStringLiteral("Ann"));
    orvel::frmChat window(dx);
    bool waited = false;
    bool givenUp = false;
    bool pagesBack = false;
    whenWizardShows([&](orvel::DPlayConnect& w) {
        waited = w.cmdCancelWait->isVisible() && !w.cmdOk->isEnabled() &&
                 dx8::sessionPortOf(dx.dpPeer.get()) != 0;
        w.cmdCancelWait->click();
        givenUp = dx8::sessionPortOf(dx.dpPeer.get()) == 0;  // at once, not when tries run out
        whenWizardShows(
            [&](orvel::DPlayConnect& pages) {
                pagesBack = pages.currentPage() == orvel::DPlayConnect::ProviderPage &&
                            !pages.cmdCancelWait->isVisible();
                pages.cmdCancel->click();
            },
            [](orvel::DPlayConnect& pages) { return pages.cmdOk->isEnabled(); });
    });
    EXPECT_FALSE(window.Form_Load());
    EXPECT_TRUE(waited);
    EXPECT_TRUE(givenUp);
    EXPECT_TRUE(pagesBack);
    EXPECT_FALSE(
        dx8::readRestartRecord(QStringLiteral("Ann"), QDateTime::currentMSecsSinceEpoch()));
    EXPECT_TRUE(boxes.isEmpty());
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("DISPLAY");  // the keyboard reader then stays off instead of reading a real screen
    qputenv("ORVEL_DISCOVERY", "loopback");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", config.path().toLocal8Bit());
    defaultHandler = qInstallMessageHandler(collect);
    QLoggingCategory::setFilterRules(QStringLiteral("orvel.startup.debug=true"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
