#pragma once

// The impairment lab from C++: builds it with tools/netlab/netlab, steers its bridge, opens
// sockets inside its namespaces, and runs orvel-bot players in them. Everything the lab started
// goes when the Lab object goes.

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace lab {

class Lab {
public:
    // A lab of `players` namespaces; null with the reason in *why. *unsupported is set when
    // this machine cannot make network namespaces (not root): the caller skips.
    static std::unique_ptr<Lab> create(int players, QString* why, bool* unsupported);
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    int players() const { return players_; }
    // "10.77.0.I"
    static QString address(int player) { return QStringLiteral("10.77.0.%1").arg(player); }
    QString netns(int player) const { return name_ + QStringLiteral("-p%1").arg(player); }

    // One bridge command (see tools/netlab/impair.cpp); false on "error" or no answer.
    bool control(const QString& command, QString* reply = nullptr);
    // The bridge's counter `key` of link pI.
    long long counter(int player, const QString& key);

    // A non-blocking UDP socket inside player's namespace, bound to its address and port.
    int udpSocket(int player, uint16_t port);

private:
    Lab(QString name, QString dir, int players) : name_(name), dir_(dir), players_(players) {}
    QString name_, dir_;
    int players_;
};

// An orvel-bot in one of the lab's namespaces; its output lines are kept, in order.
class Player {
public:
    Player(Lab& lab, int index, const QStringList& botArguments);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Runs the event loop until `done` holds for the output, or ms pass, or the bot ends.
    bool waitFor(const std::function<bool(const QStringList&)>& done, int ms);
    bool waitForLine(const QString& text, int ms);
    // Waits on several players at once: until each one's `done` holds, or ms pass.
    static bool waitAll(const std::vector<Player*>& players,
                        const std::function<bool(const Player&)>& done, int ms);

    // Everything the bot printed so far (what arrived since the last look is read first).
    const QStringList& lines() const {
        drain();
        return lines_;
    }
    int count(const QString& text) const { return static_cast<int>(lines().count(text)); }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    int exitCode() const { return process_.exitCode(); }
    // Types a chat line on the bot's standard input.
    void say(const QString& text);
    // The bot's last car-state report as name -> count.
    std::vector<std::pair<QString, int>> lastCarStates() const;
    void stop();
    // Ends the bot at once, as a crash or a pulled cable would: it leaves nobody a word.
    void kill();
    int index() const { return index_; }

private:
    void drain() const;
    int index_;
    mutable QProcess process_;
    mutable QByteArray partial_;
    mutable QStringList lines_;
};

// Paths the build hands the lab (the script, the bridge, the bot).
QString netlabScript();
QString impairProgram();
QString botProgram();

}  // namespace lab
