// The question a search asks when it may and has no address: shown, answered, cancelled.

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <functional>
#include <optional>

#include "connect_wizard/session_address_dialog.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/play/peer_extras.h"
#include "net/paths/meet_protocol.h"
#include "wait.h"

using namespace dx8;

namespace {

// Answers the next modal input dialog with `answer`, or cancels it when `answer` is null.
// Returns the question it showed (empty until then); the watch may outlive the test that set it,
// so it owns what it writes to.
std::shared_ptr<QString> answerDialog(std::optional<QString> answer) {
    auto label = std::make_shared<QString>();
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [answer, label, attempt](int tries) {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            if (tries < 200) {
                QTimer::singleShot(20, [attempt, tries] { (*attempt)(tries + 1); });
            }
            return;
        }
        *label = dialog->labelText();
        if (answer) {
            dialog->setTextValue(*answer);
            dialog->accept();
        } else {
            dialog->reject();
        }
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(0); });
    return label;
}

DPN_APPLICATION_DESC app() {
    DPN_APPLICATION_DESC d;
    d.guidApplication = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
    return d;
}

TEST(SearchAddressDialog, CancelFailsTheSearchWithUserCancel) {
    qunsetenv("ORVEL_ENUM_ADDRESS");
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    const auto label = answerDialog(std::nullopt);
    HRESULT code = DPN_OK;
    try {
        peer->EnumHosts(app(), nullptr, nullptr, -1, 0, -1, DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {},
                        0);
    } catch (const DxError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, DPNERR_USERCANCEL);
    EXPECT_EQ(*label, QStringLiteral("host name or IP, blank to search the local network"));
}

// What the player types is searched where it says: an address there, a session code (where a
// meeting point is set) by a lookup of that code at the meeting point.
TEST(SearchAddressDialog, AnAnsweredAddressOrCodeIsSearched) {
    qunsetenv("ORVEL_ENUM_ADDRESS");
    QUdpSocket there;  // the host asked, or the meeting point
    ASSERT_TRUE(there.bind(QHostAddress::LocalHost, 0));
    const QString at = QStringLiteral("127.0.0.1:%1").arg(there.localPort());
    const orvel::meet::Code code{0x5A5A5A5A5};
    const struct {
        QString meet;
        QString typed;
        std::optional<orvel::meet::Code> lookup;
    } cases[] = {
        {QString(), at, std::nullopt},
        {at, orvel::meet::formatCode(code).toLower().replace(QLatin1Char('-'), QLatin1Char(' ')),
         code},
    };
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        dx8::setMeetPoint(c.meet);
        const auto label = answerDialog(c.typed);
        const DPNHANDLE h = peer->EnumHosts(app(), nullptr, nullptr, -1, 0, -1,
                                            DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0);
        EXPECT_GT(h, 0);
        EXPECT_FALSE(label->isEmpty());
        ASSERT_TRUE(orvel::testing::waitUntil([&] { return there.hasPendingDatagrams(); }));
        const QByteArray first = there.receiveDatagram().data();
        peer->CancelAsyncOperation(h, 0);
        while (there.hasPendingDatagrams()) {
            there.receiveDatagram();
        }
        const auto m = orvel::meet::decode(reinterpret_cast<const uint8_t*>(first.constData()),
                                           static_cast<size_t>(first.size()));
        const auto* lookup = m ? std::get_if<orvel::meet::Lookup>(&*m) : nullptr;
        EXPECT_EQ(lookup ? std::optional(lookup->code) : std::nullopt, c.lookup);
    }
    dx8::setMeetPoint(QString());
    // A malformed answer is refused.
    answerDialog(QStringLiteral("127.0.0.1:notaport"));
    EXPECT_THROW(peer->EnumHosts(app(), nullptr, nullptr, -1, 0, -1,
                                 DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0),
                 DxError);
    peer->Close(0);
}

TEST(SearchAddressDialog, TheLastHostsThatAnsweredAreOfferedFirst) {
    struct Case {
        QStringList recent;
        QString typed;
        QStringList kept;
    } cases[] = {
        {{}, "40.40.40.10:2302", {"40.40.40.10:2302"}},
        {{"a", "b"}, " b ", {"b", "a"}},  // typed again: moves up, once
        {{"a"}, "", {"a"}},               // a search of the local network is not a host
        {{"1", "2", "3", "4", "5", "6", "7", "8"}, "9", {"9", "1", "2", "3", "4", "5", "6", "7"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(orvel::rememberHost(c.recent, c.typed), c.kept) << c.typed.toStdString();
    }

    // Through the dialog: a host typed is offered next time only once a session answered there.
    qunsetenv("ORVEL_ENUM_ADDRESS");
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    answerDialog(QStringLiteral("127.0.0.1:2398"));
    peer->CancelAsyncOperation(peer->EnumHosts(app(), nullptr, nullptr, -1, 0, -1,
                                               DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0),
                               0);
    EXPECT_EQ(dx8::sessionAddressSource().lastAnswer(), QStringLiteral("127.0.0.1:2398"));
    const auto offers = [&peer] {
        QStringList offered;
        QTimer::singleShot(0, [&offered] {
            for (int i = 0; i < 200 && offered.isEmpty(); ++i) {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                if (auto* d = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
                    offered = d->comboBoxItems();
                    d->reject();
                }
            }
        });
        EXPECT_THROW(peer->EnumHosts(app(), nullptr, nullptr, -1, 0, -1,
                                     DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0),
                     DxError);
        return offered;
    };
    EXPECT_EQ(offers(), QStringList{QString()});
    orvel::rememberAnsweredHost(QStringLiteral("127.0.0.1:2398"));
    EXPECT_EQ(offers().value(0), QStringLiteral("127.0.0.1:2398"));
    EXPECT_EQ(dx8::sessionAddressSource().lastAnswer(), std::nullopt);  // the cancel
    peer->Close(0);
}

TEST(SearchAddressDialog, NotAskedWithoutTheFlagOrWithAPresetAnswer) {
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    // Should a question come up after all, it is cancelled and shows up here.
    const auto label = answerDialog(std::nullopt);
    qunsetenv("ORVEL_ENUM_ADDRESS");
    peer->CancelAsyncOperation(peer->EnumHosts(app(), nullptr, nullptr, 1, 0, 0, 0, {}, 0), 0);
    qputenv("ORVEL_ENUM_ADDRESS", "");
    peer->CancelAsyncOperation(peer->EnumHosts(app(), nullptr, nullptr, 1, 0, 0,
                                               DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0),
                               0);
    EXPECT_TRUE(label->isEmpty());
    peer->Close(0);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The hosts typed are remembered: in a folder of the test's own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    qputenv("ORVEL_DISCOVERY", "loopback");
    QApplication app(argc, argv);
    dx8::setSessionAddressSource(std::make_shared<orvel::SessionAddressDialog>());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
