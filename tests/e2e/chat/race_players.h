#pragma once

// Players of a race on one machine: `orvel` on its own private X display, driven through its
// wizard and windows with xdotool and watched through its diagnostics, optionally beside a
// `kartova-standin` game on the same display; and `orvel-bot` players, watched through what
// they print. Everything stays on loopback.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "child_process.h"
#include "orvel_player.h"
#include "standin_process.h"

namespace race_e2e {

using namespace wizard_it;

inline const QString kAnyMain = QStringLiteral("^Orvel( \\(HOST\\))?$");

// Standard edition addresses of the game's data that the checks read.
constexpr uint32_t kCar0 = orvel::testing::kStandardMap.car0;
constexpr uint32_t kRecordStride = orvel::testing::kStride;
constexpr uint32_t kLastLine = orvel::testing::kStandardMap.lastLine;
inline uint32_t carRecord(int slot) {
    return kCar0 + static_cast<uint32_t>(slot) * kRecordStride;
}

// The 144 bytes of a car record that travel between players, in their order.
std::vector<uint8_t> pieces(orvel::testing::StandinProcess& game, int slot);

using orvel::testing::staysUntil;
using orvel::testing::waitUntil;

// A unique session name for this run.
QString sessionName(const char* what);

class Racer {
public:
    // name is the player name; gameOptions empty: no game beside this player.
    Racer(const QString& name, const QStringList& gameOptions = {},
          orvel::testing::Desktop desktop = orvel::testing::Desktop::Bare);
    ~Racer();

    bool ready() const { return orvel_.ready(); }
    const QString& name() const { return name_; }
    wizard_it::Player& orvel() { return orvel_; }
    orvel::testing::StandinProcess& game() { return *game_; }
    bool hasGame() const { return game_ != nullptr; }

    // Starts the game (when asked for) and orvel, and hosts a session through the wizard.
    // Returns the session's port, 0 on failure.
    int host(const QString& session, bool migrate);
    // This player hosts the session, then each of joiners joins it in turn; the port, or a
    // failure with the log of whoever failed.
    ::testing::AssertionResult hostWith(const char* session, bool migrate,
                                        std::initializer_list<Racer*> joiners, int* port = nullptr);
    // Starts the game (when asked for) and orvel, and joins the session on this machine's port.
    bool join(int port);
    // Starts orvel and searches the session on that port; stops with the session listed.
    bool searchOnly(int port);
    // Starts the game alone, when this player has one; true when it runs (or there is none).
    bool startGame();
    // The shown main window's id (empty when none).
    QString mainWindow(int timeoutMs = 30000) { return orvel_.waitWindow(kAnyMain, timeoutMs); }
    QString caption();

    // Waits until the chat shows exactly this line.
    bool waitChatLine(const QString& line, int timeoutMs = 30000);
    // Whether the chat has shown this line by now (reads what the program has written so far).
    bool hasChatLine(const QString& line);
    // The program's diagnostics up to now.
    QString freshLog();
    // Waits until the window's chat reports this roster event text (e.g. "slot 1 freed").
    bool waitLog(const QString& pattern, int timeoutMs = 30000);

    // Types a chat line into the main window and sends it with Enter.
    void say(const QString& text);
    // Whispers text to the roster entry at row (0 = the first entry) using the keyboard.
    void whisper(int row, const QString& text);

private:
    bool startProgram();
    // Clicks into the chat's input line, as a player does before typing.
    void clickInput();

    QString name_;
    wizard_it::Player orvel_;
    QStringList gameOptions_;
    std::unique_ptr<orvel::testing::StandinProcess> game_;
};

class Bot {
public:
    explicit Bot(const QString& name);

    // extra: further options (e.g. --parked).
    bool host(const QString& session, bool migrate, int* port, const QStringList& extra = {});
    bool join(int port, const QStringList& extra = {});
    const QString& name() const { return name_; }

    // Everything the bot printed so far, whole and as lines.
    QString output();
    const QStringList& lines() { return process_.lines(); }
    bool waitOutput(const QRegularExpression& re, int timeoutMs = 30000);
    // Waits until the bot prints exactly this line.
    bool waitLine(const QString& line, int timeoutMs = 30000);
    // The first line from index from on that matches; empty when none came in time.
    QString waitLine(const QRegularExpression& re, qsizetype from, int timeoutMs = 30000);
    // A chat line for the bot to send (its standard input).
    void say(const QString& text) { process_.send(text); }
    // Leaves the session cleanly.
    bool stop();
    void kill();
    qint64 pid() const { return process_.pid(); }

    // The car livery the bot sends (bytes +0x40..+0x43 of its car state).
    uint32_t livery() const;

private:
    bool start(const QStringList& args);

    QString name_;
    orvel::testing::ChildProcess process_;
};

}  // namespace race_e2e
