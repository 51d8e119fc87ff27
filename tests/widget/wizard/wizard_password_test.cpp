// Sessions with a password: the mark in the list, the question before a join and after a wrong
// password, and cancelling it.
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include "connect_wizard/password_prompt.h"
#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

// The player's answers to the question, in turn (none: cancel), against a session that takes
// "good" only, or anything when it needs none.
struct PasswordCase {
    bool marked, needsOne;
    std::vector<std::optional<QString>> answers;
    std::vector<bool> askedWrong;  // each question: did it say the last one was wrong
    int connects;
    QString lastSent;  // the password of the last connect
};
const PasswordCase kPasswordCases[] = {
    {true, true, {"good"}, {false}, 1, "good"},                    // right at once
    {true, true, {"bad", "good"}, {false, true}, 2, "good"},       // wrong, then right
    {true, true, {std::nullopt}, {false}, 0, ""},                  // cancelled at once
    {true, true, {"bad", std::nullopt}, {false, true}, 1, "bad"},  // wrong, then cancelled
    {false, false, {}, {}, 1, ""},                                 // none needed
    {false, true, {"good"}, {false}, 2, "good"},                   // needed though not marked
};

class PasswordJoin : public WizardTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(PasswordJoin, IsAskedBeforeTheJoinAndAgainAfterAWrongOne) {
    const PasswordCase& c = GetParam();
    const bool joins = c.lastSent == (c.needsOne ? "good" : "");
    std::vector<bool> asked;
    auto outcome = [&c](const QString& password) {
        return c.needsOne && password != "good" ? dx8::DPNERR_INVALIDPASSWORD : dx8::DPN_OK;
    };
    peer->connectResult = outcome(QString());
    wizard->askPassword = [&](const QString& session, bool wrong) {
        EXPECT_EQ(session, "Race");
        asked.push_back(wrong);
        const std::optional<QString> a = c.answers.at(asked.size() - 1);
        peer->connectResult = outcome(a.value_or(QString()));
        return a;
    };
    auto a = answer("Race", "{IA}", 1, 6, 7);
    a.ApplicationDescription.lFlags = c.marked ? dx8::DPNSESSION_REQUIREPASSWORD : 0;
    EXPECT_EQ(run([&](DPlayConnect& w) {
                  findAndPick(w, a);
                  EXPECT_EQ(w.lstGames->item(0)->text(),
                            QString("Race - 1/6 - Latency:7 ms") + (c.marked ? " (password)" : ""));
                  w.cmdJoin->click();
                  // Not joined: the session page, its list going on, ready for another try.
                  EXPECT_EQ(w.currentPage(), 1);
                  EXPECT_EQ(w.stopListing(), joins);
              }),
              joins);
    EXPECT_EQ(asked, c.askedWrong);
    EXPECT_EQ(peer->connects, c.connects);
    EXPECT_EQ(peer->connectDesc.Password, c.lastSent);
    EXPECT_TRUE(boxes.empty());
    // A refused password never reaches the main window, which would end the program.
    EXPECT_EQ(callback.connectResults, std::vector<dx8::HRESULT>(joins ? 1 : 0, dx8::DPN_OK));
}

INSTANTIATE_TEST_SUITE_P(Answers, PasswordJoin, ::testing::ValuesIn(kPasswordCases));

TEST(PasswordPrompt, HidesWhatIsTypedAndShowsTheNameAsPlainText) {
    for (const bool accept : {true, false}) {
        QTimer::singleShot(0, [accept] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            auto* field = dialog->findChild<QLineEdit*>("txtSessionPassword");
            auto* label = dialog->findChild<QLabel*>("lblPasswordPrompt");
            EXPECT_EQ(field->echoMode(), QLineEdit::Password);
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_EQ(label->text(), "Wrong password for \"<b>Race</b>\". Try again.");
            field->setText("s3cret");
            accept ? dialog->accept() : dialog->reject();
        });
        EXPECT_EQ(orvel::askSessionPassword(nullptr, "<b>Race</b>", true),
                  accept ? std::optional<QString>("s3cret") : std::nullopt);
    }
}

}  // namespace
