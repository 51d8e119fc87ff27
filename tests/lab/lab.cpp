#include "lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace lab {

QString netlabScript() { return QStringLiteral(ORVEL_NETLAB_SCRIPT); }
QString impairProgram() { return QStringLiteral(ORVEL_IMPAIR); }
QString botProgram() { return QStringLiteral(ORVEL_BOT); }

namespace {

int run(const QStringList& arguments, QString* output, int ms = 30000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(netlabScript(), arguments);
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(2000);
        if (output) *output = QStringLiteral("timed out");
        return -1;
    }
    if (output) *output = QString::fromLocal8Bit(p.readAll()).trimmed();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

std::unique_ptr<Lab> Lab::create(int players, QString* why, bool* unsupported) {
    *unsupported = false;
    static QTemporaryDir root;  // the control sockets of this run's labs
    const QString name = QStringLiteral("ol%1").arg(QCoreApplication::applicationPid());
    const QString dir = root.path() + QStringLiteral("/") + name;
    run({QStringLiteral("sweep")}, nullptr);
    run({QStringLiteral("down"), name, dir}, nullptr);
    QString out;
    const int code = run({QStringLiteral("up"), name, QString::number(players), dir, impairProgram()}, &out);
    if (code != 0) {
        *unsupported = code == 77;
        *why = out;
        return nullptr;
    }
    return std::unique_ptr<Lab>(new Lab(name, dir, players));
}

Lab::~Lab() {
    run({QStringLiteral("down"), name_, dir_}, nullptr);
}

bool Lab::control(const QString& command, QString* reply) {
    QProcess p;
    p.start(impairProgram(), QStringList{QStringLiteral("--ctl"), dir_ + QStringLiteral("/ctl")} +
                                 command.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    const bool ok = p.waitForFinished(10000) && p.exitCode() == 0;
    if (reply) *reply = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    return ok;
}

long long Lab::counter(int player, const QString& key) {
    QString reply;
    if (!control(QStringLiteral("stats"), &reply)) {
        return -1;
    }
    const QRegularExpression re(QStringLiteral("\\bp%1 [^;]*\\b%2=(\\d+)").arg(player).arg(key));
    const auto m = re.match(reply);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

int Lab::udpSocket(int player, uint16_t port) {
    // The socket belongs to the namespace this thread is in when it is made; the thread goes
    // back to its own namespace at once.
    const int self = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const QByteArray path = QStringLiteral("/var/run/netns/%1").arg(netns(player)).toLocal8Bit();
    const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (self >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(0x0A4D0000u | static_cast<uint32_t>(player));
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            ::close(fd);
            fd = -1;
        }
        if (::setns(self, CLONE_NEWNET) != 0) {
            std::abort();  // a test thread stranded in a lab namespace would send from there
        }
    }
    if (self >= 0) ::close(self);
    if (target >= 0) ::close(target);
    return fd;
}

Player::Player(Lab& lab, int index, const QStringList& botArguments) : index_(index) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Inside its namespace a search reaches the lab only; the bots join by address anyway.
    env.insert(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("lan"));
    env.insert(QStringLiteral("ORVEL_ENUM_ADDRESS"), QString());
    env.remove(QStringLiteral("DISPLAY"));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"),
                                                      lab.netns(index), botProgram()} +
                                             botArguments);
}

Player::~Player() {
    stop();
}

void Player::stop() {
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    drain();
}

void Player::kill() {
    process_.kill();
    process_.waitForFinished(2000);
    drain();
}

void Player::drain() const {
    partial_ += process_.readAll();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(partial_.left(nl));
        partial_.remove(0, nl + 1);
    }
}

void Player::say(const QString& text) {
    process_.write((text + QLatin1Char('\n')).toUtf8());
}

bool Player::waitFor(const std::function<bool(const QStringList&)>& done, int ms) {
    return waitAll({this}, [&done](const Player& p) { return done(p.lines()); }, ms);
}

bool Player::waitForLine(const QString& text, int ms) {
    return waitFor([&text](const QStringList& l) { return l.contains(text); }, ms);
}

bool Player::waitAll(const std::vector<Player*>& players,
                     const std::function<bool(const Player&)>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (true) {
        bool all = true;
        for (Player* p : players) {
            p->drain();
            all = all && done(*p);
        }
        if (all) return true;
        if (clock.elapsed() >= ms) return false;
        for (Player* p : players) {
            if (!p->running()) {
                p->drain();
                if (!done(*p)) return false;
            }
        }
        // Wakes on the next output of any player, or after 100 ms at the latest.
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        for (Player* p : players) {
            QObject::connect(&p->process_, &QProcess::readyRead, &loop, &QEventLoop::quit);
            QObject::connect(&p->process_, &QProcess::finished, &loop, &QEventLoop::quit);
        }
        loop.exec();
    }
}

std::vector<std::pair<QString, int>> Player::lastCarStates() const {
    std::vector<std::pair<QString, int>> out;
    const QStringList& all = lines();
    for (qsizetype i = all.size() - 1; i >= 0; --i) {
        if (all[i].startsWith(QStringLiteral("car states: "))) {
            static const QRegularExpression item(QStringLiteral("([^,=]+)=(\\d+)"));
            auto it = item.globalMatch(all[i].mid(12));
            while (it.hasNext()) {
                const auto m = it.next();
                out.emplace_back(m.captured(1).trimmed(), m.captured(2).toInt());
            }
            break;
        }
    }
    return out;
}

}  // namespace lab
