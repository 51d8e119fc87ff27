// What the boxes explain for each failure, and the chat text as the game gets it.
#include <gtest/gtest.h>

#include <QApplication>
#include <set>

#include "game_link/cp1252.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace {

using namespace dx8;

TEST(Messages, EveryCodeThePlayerCanSeeIsExplained) {
    struct Case {
        HRESULT code;
        std::vector<const char*> words;  // what the explanation must speak of
    };
    const std::vector<Case> cases = {
        {DPNERR_NORESPONSE, {"address", "port", "2302", "firewall", "UDP"}},
        {DPNERR_TIMEDOUT, {"address", "firewall"}},
        {DPNERR_INVALIDHOSTADDRESS, {"IPv4", "port", "blank"}},
        {DPNERR_SESSIONFULL, {"taken", "create a session"}},
        {DPNERR_HOSTREJECTEDCONNECTION, {"turned the connection down", "another session"}},
        {DPNERR_INVALIDPASSWORD, {"password"}},
        {DPNERR_INVALIDAPPLICATION, {"Search again"}},
        {DPNERR_NOTHOST, {"does not host"}},
        {DPNERR_PLAYERNOTREACHABLE, {"could not be reached", "firewall"}},
        {DPNERR_CONNECTIONLOST, {"broke off", "network connection"}},
        {DPNERR_NOCONNECTION, {"broke off"}},
        {DPNERR_HOSTTERMINATEDSESSION, {"has closed it"}},
        {DPNERR_CONNECTING, {"under way"}},
        {DPNERR_USERCANCEL, {"cancelled"}},
        {DPNERR_INVALIDDEVICEADDRESS, {"2302 to 2400", "another program"}},
        {DPNERR_GENERIC, {"network connection"}},
    };
    const QString fallback = orvel::adviceFor(hr(0x80151234));
    EXPECT_TRUE(fallback.contains(QLatin1String("QT_LOGGING_RULES")));
    std::set<HRESULT> seen;
    for (const Case& c : cases) {
        SCOPED_TRACE(hresultHex(c.code).toStdString());
        EXPECT_TRUE(seen.insert(c.code).second) << "listed twice";
        const QString advice = orvel::adviceFor(c.code);
        EXPECT_NE(advice, fallback);
        for (const char* w : c.words) {
            EXPECT_TRUE(advice.contains(QLatin1String(w))) << w << " in " << advice.toStdString();
        }
    }
}

TEST(Messages, AFailedHostingNamesItsCause) {
    struct Case {
        HRESULT code;
        const char* reason;
        int firstPort;
        std::vector<const char*> words;
    };
    const std::vector<Case> cases = {
        {DPNERR_INVALIDDEVICEADDRESS,
         "no free session port",
         2302,
         {"from 2302 to 2400", "in use"}},
        {DPNERR_INVALIDDEVICEADDRESS, "no free session port", 2350, {"from 2350 to 2400"}},
        {DPNERR_INVALIDDEVICEADDRESS, "no free session port", 3000, {"UDP port 3000 is in use"}},
        {DPNERR_GENERIC,
         "network layer unavailable",
         2302,
         {"0x80004005", "network layer unavailable", "network connection"}},
        {DPNERR_INVALIDPARAM, "", 2302, {"0x80070057"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const QString advice =
            orvel::hostingAdvice(c.code, QString::fromLatin1(c.reason), c.firstPort);
        for (const char* w : c.words) {
            EXPECT_TRUE(advice.contains(QLatin1String(w))) << w << " in " << advice.toStdString();
        }
    }
}

TEST(Messages, TheBoxCarriesItsExplanationToEitherHook) {
    QString explained, text;
    orvel::SetExplainedMessageBoxHook(
        [&](QWidget*, const QString& t, const QString&, QMessageBox::Icon, const QString& e) {
            text = t;
            explained = e;
        });
    orvel::MsgBox(nullptr, QStringLiteral("Full text"), QStringLiteral("Full"),
                  QMessageBox::Information, QStringLiteral("why and what next"));
    EXPECT_EQ(text, "Full text");
    EXPECT_EQ(explained, "why and what next");

    int plainCalls = 0;
    orvel::SetMessageBoxHook([&](QWidget*, const QString& t, const QString&, QMessageBox::Icon) {
        ++plainCalls;
        text = t;
    });
    orvel::MsgBox(nullptr, QStringLiteral("Second"), QStringLiteral("c"), QMessageBox::Critical,
                  QStringLiteral("ignored"));
    EXPECT_EQ(plainCalls, 1);
    EXPECT_EQ(text, "Second");
    orvel::SetMessageBoxHook({});
}

TEST(Messages, ChatTextIsSpelledForTheGame) {
    struct Case {
        const char* script;
        const char* text;  // UTF-8
        const char* game;  // UTF-8, as the game is to show it
    };
    const std::vector<Case> cases = {
        {"Polish", "Zażółć gęślą jaźń", "Zazolc gesla jazn"},
        {"Polish, a word within cp1252 kept", "<Ann> Łódź ó", "<Ann> Lodz ó"},
        {"German", "Grüße aus der Straße", "Grüße aus der Straße"},
        {"Czech", "Příliš žluťoučký kůň", "Prilis zlutoucky kun"},
        {"Cyrillic", "Привет, мир", "Privet, mir"},
        {"Western", "Café €5 — naïve", "Café €5 — naïve"},
        {"spacing kept", "a  \tŻ", "a  \tZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const QString game = orvel::transliterateForGame(QString::fromUtf8(c.text));
        EXPECT_EQ(game.toStdString(), std::string(c.game));
        EXPECT_FALSE(orvel::toCp1252(game).contains('?'));
        EXPECT_EQ(orvel::toCp1252(game).size(), game.toUcs4().size());
        EXPECT_EQ(orvel::transliterateForGame(QString::fromUtf8(c.text), 5), game.left(5));
    }
    // Only the head that is asked for is read and spelled: a MiB of CJK spells as its start.
    const QString cjk = QStringLiteral("\u65E5\u672C\u8A9E").repeated(1 << 18);
    EXPECT_EQ(orvel::transliterateForGame(cjk, 51),
              orvel::transliterateForGame(cjk.left(30)).left(51));
    // No Latin spelling at all: the game shows "?", never nothing or garbage.
    EXPECT_EQ(orvel::toCp1252(orvel::transliterateForGame(QString::fromUtf8("ok 🙂"))),
              QByteArray("ok ?"));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
