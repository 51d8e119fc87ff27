// The wizard as a window manager shows it, and what typing into its players field takes.
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

TEST_F(WizardTest, WideEnoughForEveryPageCaption) {
    run([&](DPlayConnect& w) {
        QFont bold = w.font();
        bold.setBold(true);
        const QFontMetrics metrics(bold);
        // One first size serves every page, so it must hold the longest caption.
        for (const char* caption : {"Kartova Multiplayer - v1.1 - Choose Protocol",
                                    "Kartova Multiplayer - v1.1 - Create or Join Session",
                                    "Kartova Multiplayer - v1.1 - Create Session",
                                    "Kartova Multiplayer - v1.1 - Wait for lobby connection"}) {
            SCOPED_TRACE(caption);
            // The caption and room for a title bar's icon and three buttons.
            EXPECT_GE(w.width(), metrics.horizontalAdvance(QString::fromLatin1(caption)) +
                                     6 * metrics.height());
        }
        EXPECT_TRUE(w.windowTitle().startsWith(QStringLiteral("Kartova Multiplayer - v1.1 - ")));
    });
}

// Its first size is its smallest; what the player adds goes to the lists, and the status line
// keeps its place whatever it says.
TEST_F(WizardTest, TheWindowGrowsWithItsListsFromItsFirstSize) {
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        const QSize first = w.size();
        EXPECT_EQ(w.minimumSize(), first);
        const QSize list = w.lstGames->size();
        const int line = w.lblStatus->height();
        w.resize(first + QSize(120, 90));
        EXPECT_TRUE(waitUntil([&] { return w.lstGames->size() != list; }));
        EXPECT_GE(w.lstGames->width(), list.width() + 100);
        EXPECT_GE(w.lstGames->height(), list.height() + 80);
        w.resize(first);
        w.lblStatus->setText(
            QStringLiteral("Nobody answered at 10.0.0.7 on ports 2302-2400 "
                           "after 5 s."));
        QApplication::processEvents();
        EXPECT_EQ(w.lblStatus->height(), line);
        EXPECT_EQ(w.size(), first);
        EXPECT_LE(w.lblStatus->heightForWidth(w.lblStatus->width()), line);
    });
}

TEST_F(WizardTest, ThePlayersFieldTakesOnlyWhatTheSessionAllows) {
    struct Case {
        const char* typed;
        const char* kept;
    };
    const std::vector<Case> cases = {
        {"1", "1"},  {"6", "6"}, {"0", ""}, {"7", ""},   {"9", ""},
        {"12", "1"}, {"a", ""},  {"-", ""}, {"3 ", "3"},
    };
    run(
        [&](DPlayConnect& w) {
            w.cmdOk->click();
            w.cmdCreate->click();
            for (const Case& c : cases) {
                SCOPED_TRACE(c.typed);
                w.txtUsers->clear();
                QTest::keyClicks(w.txtUsers, QString::fromLatin1(c.typed));
                EXPECT_EQ(w.txtUsers->text(), QString::fromLatin1(c.kept));
            }
        },
        true, 6);
}

}  // namespace
