#pragma once

// One player of a multi-process test: an `orvel` process on its own private X display (bare, or
// a desktop with a window manager) with its own settings folder, driven with xdotool as a player
// would (keys and typing), and watched through its diagnostics on stderr.

#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

#include "child_process.h"
#include "desktop.h"

namespace wizard_it {

// Titles of orvel's wizard pages and main windows, as patterns for the window search.
inline const QString kChoose = QStringLiteral("^Kartova Multiplayer - v1\\.1 - Choose Protocol$");
inline const QString kSessions =
    QStringLiteral("^Kartova Multiplayer - v1\\.1 - Create or Join Session$");
inline const QString kCreate = QStringLiteral("^Kartova Multiplayer - v1\\.1 - Create Session$");
inline const QString kMain = QStringLiteral("^Orvel$");
inline const QString kMainHost = QStringLiteral("^Orvel \\(HOST\\)$");

class Player {
public:
    explicit Player(QString name, orvel::testing::Desktop desktop = orvel::testing::Desktop::Bare);
    ~Player();
    Player(const Player&) = delete;
    static constexpr int kWaitMs = orvel::testing::kDefaultTimeoutMs;
    Player& operator=(const Player&) = delete;

    bool ready() const { return display_.ok() && config_.isValid(); }
    const QString& name() const { return name_; }

    // Settings the program finds in its store at start (section "Defaults").
    void presetSettings(const QMap<QString, QString>& values);
    void setEnv(const QString& key, const QString& value) { process_.setEnv(key, value); }
    // The program's arguments at start (none by default).
    void setArguments(const QStringList& args) { args_ = args; }
    bool start();

    // Everything the program wrote to stderr so far.
    QString log();
    // Waits for a line matching re; returns the match (empty when the time ran out).
    QRegularExpressionMatch waitLog(const QRegularExpression& re, int timeoutMs = kWaitMs);
    // Lines of the category "orvel.startup", in order, without the category prefix.
    QStringList startupSteps();

    // Waits for a mapped top-level window whose title matches titleRegex; its id, or empty.
    QString waitWindow(const QString& titleRegex, int timeoutMs = kWaitMs);
    // The mapped windows whose title matches titleRegex right now.
    QStringList windows(const QString& titleRegex);
    bool waitNoWindow(const QString& titleRegex, int timeoutMs = kWaitMs);

    void focus(const QString& window);
    void key(const QString& keys);
    void type(const QString& text);
    // Asks the window to close, as the close box of a window manager does.
    bool closeWindow(const QString& window);

    // A started program from its first wizard page, with the preset name, on to the sessions
    // page; false when a page did not show.
    bool toSessionsPage();
    // A started program through its wizard to a session it hosts with the preset settings, its
    // main window shown; the session's port, 0 when a step failed.
    int hostWithPresets();

    std::optional<int> waitExit(int timeoutMs = kWaitMs);
    bool running() const { return process_.running(); }
    qint64 pid() const { return process_.pid(); }
    QString displayName() const { return display_.name(); }
    // Runs xdotool on this player's display; its output, trimmed (empty if it hung).
    QString xdotool(const QStringList& args);

private:
    QString name_;
    orvel::testing::XDesktop display_;
    QTemporaryDir config_;
    QStringList args_;
    orvel::testing::ChildProcess process_;
};

}  // namespace wizard_it
