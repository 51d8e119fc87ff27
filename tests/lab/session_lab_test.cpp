// Four orvel-bot players in the lab, on links that are slow, lossy and sometimes dark: they
// join, chat and race, survive short outages, and one cut off for long comes back as itself.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "scenario.h"

namespace {

using lab::PathImpairment;
using lab::Session;

const PathImpairment kRough{150, 20, 10, 0};
const QString kLost = QStringLiteral("session ended: 0x80158160");

class SessionLab : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        bool unsupported = false;
        lab_ = lab::Lab::create(4, &why, &unsupported);
        if (unsupported)
            GTEST_SKIP() << why.toStdString();
        ASSERT_TRUE(lab_) << why.toStdString();
        session_ = std::make_unique<Session>(*lab_);
    }
    void TearDown() override {
        session_.reset();  // the players first, then their namespaces
        lab_.reset();
    }
    // False, with the failure recorded, when the session could not be formed. Joins under loss
    // are a case of their own: the others join on a loss-free path, then get `path` in full.
    bool form(const PathImpairment& path, bool joinUnderLoss = false, int deadlineMs = 45000) {
        PathImpairment joinPath = path;
        if (!joinUnderLoss)
            joinPath.lossPct = 0;
        if (!lab::impairAllPaths(*lab_, joinPath)) {
            ADD_FAILURE() << "the bridge refused the settings";
            return false;
        }
        QString why;
        const long long joinMs = session_->form(deadlineMs, &why);
        EXPECT_GE(joinMs, 0) << why.toStdString();
        RecordProperty("join_ms", std::to_string(joinMs));
        return joinMs >= 0 && lab::impairAllPaths(*lab_, path);
    }
    std::unique_ptr<lab::Lab> lab_;
    std::unique_ptr<Session> session_;
};

TEST_F(SessionLab, FourPlayersRaceAtDelayJitterAndLoss) {
    ASSERT_TRUE(form(kRough));
    const double ratio = session_->carStateRatio(3);
    RecordProperty("car_state_percent", std::to_string(ratio * 100));
    EXPECT_GE(ratio, 0.75);
    EXPECT_LE(ratio, 1.05);  // a sender never counts twice: duplicates are not delivered twice
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("--"), {}));
}

// Chat goes guaranteed on a channel of its own: neither loss nor a newer car state loses a line.
TEST_F(SessionLab, EveryChatLineArrivesOnceAndInOrderAtDelayJitterAndLoss) {
    ASSERT_TRUE(form(kRough));
    const lab::ChatTally t = session_->exchangeChat(10, 20000, {1, 2, 3, 4});
    EXPECT_EQ(t.delivered, t.expected);
    EXPECT_EQ(t.duplicates, 0);
    EXPECT_EQ(t.outOfOrder, 0);
}

// Resends stay frequent through an outage, and links outlast a few dark seconds.
TEST_F(SessionLab, AThreeSecondOutageDropsNobody) {
    ASSERT_TRUE(form(kRough));
    const std::vector<int> before = session_->lineCounts();
    ASSERT_TRUE(lab_->control(QStringLiteral("outage p3 0 3000")));
    // Ten seconds after the link is back: long enough for any drop to have been noticed.
    session_->timeUntilAll({1}, QStringLiteral("-- P3 has left the game."), 13000);
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("-- "), before));
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("session ended"), before));
    const lab::ChatTally t = session_->exchangeChat(3, 15000, {1, 2, 3, 4});
    EXPECT_EQ(t.delivered, t.expected);
}

// The player whose links all went dark at once comes back as itself once they light up again,
// within its minute; it never takes the host role for a session of its own.
TEST_F(SessionLab, APlayerDarkForFortySecondsComesBackAsItself) {
    ASSERT_TRUE(form(kRough));
    const std::vector<int> before = session_->lineCounts();
    ASSERT_TRUE(lab_->control(QStringLiteral("outage p4 0 40000")));
    EXPECT_GE(session_->timeUntilAll({1, 2, 3}, QStringLiteral("-- P4 has left the game."), 20000),
              0);
    EXPECT_GE(session_->timeUntilAll({1, 2, 3}, QStringLiteral("- P4 is back."), 60000), 0);
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("- P4 has joined"), before));
    EXPECT_FALSE(session_->player(4).lines().contains(kLost));
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("host is now"), before));
    const lab::ChatTally t = session_->exchangeChat(3, 15000, {1, 2, 3, 4});
    EXPECT_EQ(t.delivered, t.expected);
}

// A host cut off from everyone comes back as a player of the one the others handed the host
// role on to; they stay one session.
TEST_F(SessionLab, AHostDarkForFortySecondsComesBackAsAPlayerOfTheNewHost) {
    ASSERT_TRUE(form(kRough));
    const std::vector<int> before = session_->lineCounts();
    ASSERT_TRUE(lab_->control(QStringLiteral("outage p1 0 40000")));
    EXPECT_GE(session_->timeUntilAll({2, 3, 4}, QStringLiteral("host is now P2"), 30000), 0);
    EXPECT_GE(session_->timeUntilAll({2, 3, 4}, QStringLiteral("- P1 is back."), 60000), 0);
    EXPECT_GE(session_->timeUntilAll({1}, QStringLiteral("host is now P2"), 5000), 0);
    EXPECT_FALSE(session_->player(1).lines().contains(kLost));
    EXPECT_FALSE(session_->anyPrinted(QStringLiteral("- P1 has joined"), before));
    const lab::ChatTally t = session_->exchangeChat(3, 15000, {1, 2, 3, 4});
    EXPECT_EQ(t.delivered, t.expected);
}

// Joins ride out lost steps (resends stay frequent) and slow links (deadlines follow the round
// trip).
TEST_F(SessionLab, JoinsCompleteAtDelayAndLoss) {
    const PathImpairment paths[] = {{150, 20, 10, 0}, {150, 20, 30, 0}, {300, 0, 0, 0}};
    for (const PathImpairment& path : paths) {
        SCOPED_TRACE(testing::Message() << path.rttMs << " ms, " << path.lossPct << " % loss");
        session_ = std::make_unique<Session>(*lab_);  // the last case's players leave
        EXPECT_TRUE(form(path, true, 90000));
    }
}

}  // namespace
