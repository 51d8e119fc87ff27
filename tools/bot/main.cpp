// orvel-bot: a headless player. It hosts or joins a session, drives a car round a closed path,
// broadcasts the car's state every 50 ms like a racing player, chats when told, and prints what
// it receives.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "bot_options.h"
#include "common/command_line.h"
#include "common/settings_store.h"
#include "meet_lines.h"
#include "platform/dx8/directx8.h"
#include "session/restart_record.h"
#include "net/paths/session_address_source.h"
#include "platform/dx8/play/peer_extras.h"
#include "net/paths/port_mapper.h"
#include "session/race_session.h"
#include "session/roster_lines.h"
#include "session/wire_messages.h"
#include "track.h"

using namespace dx8;

namespace {

const QString kApplicationGuid = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

void say(const QString& line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void putFloat(orvel::CarState& s, int offset, float v) {
    std::memcpy(s.data() + offset, &v, 4);
}
void putU32(orvel::CarState& s, int offset, uint32_t v) {
    std::memcpy(s.data() + offset, &v, 4);
}

struct Options {
    bool host = false;
    QString join;  // as given, HOST[:PORT]
    QString joinHost;
    int joinPort = 0;
    QString name;
    QString sessionName;
    QString password;  // the hosted session's, or the one to join with
    int maxPlayers = 6;
    bool migrate = false;
    int port = 0;
    double duration = 0;
    double report = 5;
    bool drive = true;
    bool track = false;  // the stand-in game's circuit instead of the ellipse
    QStringList lines;
    bool sayNow = false;  // --say lines go out even while nobody else is there
    int chatIntervalMs = 1000;
    bool portMapping = true;
    bool stamp = false;     // car states carry the wall clock; one-way latency is printed
    bool comeBack = false;  // keep a restart record, and come back from one at start
    QString meet;           // the meeting point, HOST[:PORT]; empty: none
};

// Milliseconds of the wall clock, which every process of one machine shares (network
// namespaces included), cut to 32 bits: differences stay right across the wrap.
uint32_t wallMs() {
    return static_cast<uint32_t>(QDateTime::currentMSecsSinceEpoch());
}

constexpr int kStampOffset = 140;

// The player's side of the session is Orvel's own race session, the peer's handler; the bot
// listens to it and prints what it tells.
class Bot : public QObject, private orvel::RaceSession::Listener {
public:
    explicit Bot(const Options& o) : options_(o), peer_(root_.DirectPlayPeerCreate()) {
        session_.addListener(this);
        peer_->RegisterMessageHandler(&session_);
        clock_.start();
        // Each bot's own colours and car number, so several are told apart in the game.
        livery_ = static_cast<uint32_t>(qHash(o.name)) | 0x01000000u;
    }
    ~Bot() override {
        record_.stop();  // left properly: nothing to come back to
        mapper_.stop();
        peer_->UnRegisterMessageHandler();
        peer_->Close(0);
        session_.removeListener(this);
    }

    bool start() {
        DPN_PLAYER_INFO info;
        info.lInfoFlags = DPNINFO_NAME;
        info.Name = options_.name;
        try {
            peer_->SetPeerInfo(info, DPNSETPEERINFO_SYNC);
            // Started again soon after ending without leaving: back into that session first.
            const auto record =
                options_.comeBack
                    ? readRestartRecord(options_.name, QDateTime::currentMSecsSinceEpoch())
                    : std::nullopt;
            if (record) {
                comeBackWith(peer_.get(), record->ticket, kRestartComeBackMs);
                comingBack_ = true;
                say(QStringLiteral("coming back to \"%1\"").arg(record->sessionName));
                return true;
            }
            auto device = root_.DirectPlayAddressCreate();
            device->SetSP(DP8SP_TCPIP);
            if (options_.port > 0) {
                device->AddComponentLong(DPNA_KEY_PORT, options_.port);
            }
            DPN_APPLICATION_DESC desc;
            desc.guidApplication = kApplicationGuid;
            desc.Password = options_.password;
            if (options_.host) {
                desc.lMaxPlayers = options_.maxPlayers;
                desc.SessionName = options_.sessionName;
                desc.lFlags = options_.migrate ? DPNSESSION_MIGRATE_HOST : 0;
                peer_->Host(desc, device.get(), 0);
                say(QStringLiteral("hosting \"%1\" on port %2")
                        .arg(options_.sessionName)
                        .arg(sessionPortOf(peer_.get())));
                begin();
            } else {
                auto host = root_.DirectPlayAddressCreate();
                host->SetSP(DP8SP_TCPIP);
                host->AddComponentString(DPNA_KEY_HOSTNAME, options_.joinHost);
                host->AddComponentLong(DPNA_KEY_PORT, options_.joinPort);
                peer_->Connect(desc, host.get(), device.get(), 0, {}, 0);
                say(QStringLiteral("joining %1").arg(options_.join));
            }
        } catch (const DxError& e) {
            say(QStringLiteral("failed: %1").arg(hresultHex(e.code())));
            return false;
        }
        return true;
    }

    void chat(const QString& text) {
        if (text.isEmpty()) {
            return;
        }
        if (!running_) {
            pendingLines_ << text;
            return;
        }
        // Every line, once, in order.
        if (const HRESULT result = session_.sendChat(text); result != DPN_OK) {
            say(QStringLiteral("chat failed: %1").arg(hresultHex(result)));
        } else {
            say(QStringLiteral("<%1> %2").arg(options_.name, text));
        }
    }

    void printCounts() {
        QStringList parts;
        for (const auto& [id, n] : carStates_) {
            parts << QStringLiteral("%1=%2")
                         .arg(names_.count(id) ? names_[id] : QString::number(id))
                         .arg(n);
        }
        say(QStringLiteral("car states: %1")
                .arg(parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "))));
        printPaths();
        if (options_.stamp) {
            QStringList lat;
            for (auto& [id, sum] : latency_) {
                if (sum.second > 0) {
                    lat << QStringLiteral("%1=%2 ms")
                               .arg(names_[id])
                               .arg(double(sum.first) / sum.second, 0, 'f', 2);
                }
            }
            latency_.clear();
            say(QStringLiteral("latency: %1").arg(lat.join(QStringLiteral(", "))));
        }
    }

    // How each player is reached, and how long a round trip to it takes.
    void printPaths() {
        const Reachability reach = reachabilityOf(peer_.get());
        QStringList parts;
        for (const PlayerPath& p : reach.players) {
            parts << QStringLiteral("%1=%2 %3")
                         .arg(p.name, pathName(p.path),
                              p.rttMs < 0 ? QStringLiteral("?")
                                          : QStringLiteral("%1 ms").arg(p.rttMs));
        }
        say(QStringLiteral("paths: %1")
                .arg(parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "))));
    }

    int exitCode() const { return exitCode_; }

private:
    // ---- What the race session tells -----------------------------------------------------------
    // Names are kept as the session reports them, also past a player's leaving, for the counts.
    void onPlayerJoined(const orvel::SessionPlayer& player) override {
        names_[player.id] = player.name;
        // An id is never given to anyone else in a session: one seen leaving is that player back.
        if (!player.local) {
            say(orvel::joinedLine(player.name, gone_.erase(player.id) != 0));
            others_.insert(player.id);
        }
    }
    void onPlayerDestroyed(DPNID id) override {
        say(orvel::leftLine(names_[id]));
        gone_.insert(id);
        others_.erase(id);
    }
    void onPlayerRenamed(DPNID id, const QString& name) override { names_[id] = name; }
    void onHostMigrated(DPNID id) override {
        say(QStringLiteral("host is now %1").arg(names_[id]));
    }
    void onComingBack() override { say(orvel::comingBackLine()); }
    // Printed as a player's window shows it: one line, no more than a player may send.
    void onChatLine(DPNID sender, const QString&, const QString& text) override {
        say(QStringLiteral("<%1> %2").arg(names_[sender], text));
    }
    void onWhisper(DPNID sender, const QString&, const QString& text) override {
        say(QStringLiteral("**<%1>** %2").arg(names_[sender], text));
    }
    void onCarStateFrom(DPNID sender, const orvel::CarState& state) override {
        ++carStates_[sender];
        uint32_t sent = 0;
        std::memcpy(&sent, state.data() + kStampOffset, 4);
        if (options_.stamp && sent != 0) {
            auto& [sum, n] = latency_[sender];
            sum += static_cast<int32_t>(wallMs() - sent);
            ++n;
        }
    }
    void onConnectFailed(HRESULT code) override {
        if (std::exchange(comingBack_, false)) {
            // The session is gone or will not have us back: on as asked.
            say(QStringLiteral("could not come back: %1").arg(hresultHex(code)));
            removeRestartRecord(options_.name);
            QTimer::singleShot(0, this, [this] {
                if (!start()) {
                    QCoreApplication::exit(2);
                }
            });
            return;
        }
        connectFailed(code);
    }
    void onConnected() override {
        say(QStringLiteral("joined on port %1").arg(sessionPortOf(peer_.get())));
        const Endpoint seen = reachabilityOf(peer_.get()).observed;
        if (seen.ipv4 != 0) {
            say(QStringLiteral("the host sees us at %1:%2")
                    .arg(QHostAddress(seen.ipv4).toString())
                    .arg(seen.port));
        }
        printPaths();
        begin();
    }
    void onSessionEnded(HRESULT code) override {
        say(QStringLiteral("session ended: %1").arg(hresultHex(code)));
        record_.stop();
        exitCode_ = 3;
        QCoreApplication::exit(exitCode_);
    }

    void connectFailed(HRESULT code) {
        const bool password = code == DPNERR_INVALIDPASSWORD;
        say(QStringLiteral("connect failed: %1%2")
                .arg(hresultHex(code), password ? QStringLiteral(" (wrong password)") : QString()));
        exitCode_ = password ? 4 : 2;
        QCoreApplication::exit(exitCode_);
    }

    void begin() {
        running_ = true;
        if (options_.comeBack) {
            record_.start();
        }
        if (options_.portMapping) {
            // Others link to this player's port, host or not: ask the router to open it.
            QObject::connect(&mapper_, &orvel::net::PortMapper::stateChanged, this, [this] {
                say(QStringLiteral("port mapping: %1").arg(mapper_.describe()));
                if (mapper_.state() == orvel::net::PortMapper::State::Mapped) {
                    const orvel::net::Mapping& m = *mapper_.mapping();
                    say(QStringLiteral("public address %1").arg(m.publicEndpoint()));
                    setMappedEndpointOf(peer_.get(),
                                        QHostAddress(m.externalAddress).toIPv4Address(),
                                        m.externalPort);
                }
            });
            mapper_.start(sessionPortOf(peer_.get()));
        }
        if (options_.drive) {
            QObject::connect(&tick_, &QTimer::timeout, this, [this] { drive(); });
            tick_.setTimerType(Qt::PreciseTimer);
            tick_.start(50);
        }
        if (!options_.meet.isEmpty()) {
            QObject::connect(&meetTimer_, &QTimer::timeout, this, [this] { printMeetStatus(); });
            meetTimer_.start(kMeetPollMs);
        }
        if (options_.report > 0) {
            QObject::connect(&report_, &QTimer::timeout, this, [this] { printCounts(); });
            report_.start(static_cast<int>(options_.report * 1000));
        }
        startChatting();
    }

    // Lines typed before the session began go first; the --say lines wait for someone to hear
    // them (unless --say-now), then go one an interval.
    void startChatting() {
        sayLines_ = options_.lines;
        if (!sayLines_.isEmpty() && !options_.sayNow && others_.empty()) {
            say(QStringLiteral("say: waiting for another player to join"));
        }
        QObject::connect(&chatTimer_, &QTimer::timeout, this, [this] {
            if (!pendingLines_.isEmpty()) {
                chat(pendingLines_.takeFirst());
            } else if (!sayLines_.isEmpty() && (options_.sayNow || !others_.empty())) {
                chat(sayLines_.takeFirst());
            } else if (sayLines_.isEmpty()) {
                chatTimer_.stop();
            }
        });
        chatTimer_.start(options_.chatIntervalMs);
    }

    // What the meeting point says of our session, once each time it changes.
    void printMeetStatus() {
        const MeetStatus now = meetStatusOf(peer_.get());
        for (const QString& line : orvel::bot::meetLines(meet_, now)) {
            say(line);
        }
        meet_ = now;
    }

    // One lap of an ellipse every 20 s, or of the stand-in game's circuit (in its outer lane,
    // clear of the game's own car) at the same speed.
    void drive() {
        const double t = clock_.elapsed() / 1000.0;
        const double a = t * 2 * M_PI / 20.0;
        orvel::CarState s{};
        if (options_.track) {
            const double along = t * standin::Track::length() / 20.0;
            const QPointF at = standin::Track::lanePoint(along, -standin::Track::kHalfWidth / 2);
            putFloat(s, 0x00, static_cast<float>(at.x()));
            putFloat(s, 0x04, static_cast<float>(at.y()));
            putFloat(s, 0x08, static_cast<float>(standin::Track::heading(along)));
        } else {
            putFloat(s, 0x00, static_cast<float>(400 + 250 * std::cos(a)));  // x
            putFloat(s, 0x04, static_cast<float>(300 + 150 * std::sin(a)));  // y
            putFloat(s, 0x08,
                     static_cast<float>(std::atan2(150 * std::cos(a), -250 * std::sin(a))));
        }
        putFloat(s, 0x0C, 60.0f);  // speed
        putFloat(s, 0x14, 1.0f);   // throttle
        putU32(s, 0x18, 1);        // in the race
        putU32(s, 0x1C, ++frames_);
        putFloat(s, 0x20, static_cast<float>(t * 60.0));
        putU32(s, 0x40, livery_);
        putFloat(s, 128, static_cast<float>(t / 20.0));           // laps along the track
        putFloat(s, 132, static_cast<float>(std::max(0.05, t)));  // race clock: racing
        putU32(s, 136, static_cast<uint32_t>(t / 20.0));          // laps completed
        if (options_.stamp) {
            putU32(s, kStampOffset, wallMs());
        }
        // Alone or between sessions the send fails: nothing to send to.
        session_.sendCarState(s);
    }

    Options options_;
    DirectX8 root_;
    std::shared_ptr<DirectPlay8Peer> peer_;
    orvel::RaceSession session_{peer_};
    QElapsedTimer clock_;
    static constexpr int kMeetPollMs = 250;
    QTimer tick_, report_, chatTimer_, meetTimer_;
    MeetStatus meet_;
    std::map<DPNID, QString> names_;
    std::set<DPNID> gone_;  // players seen leaving
    std::map<DPNID, int> carStates_;
    std::map<DPNID, std::pair<int64_t, int>> latency_;  // sum of one-way ms, samples
    QStringList pendingLines_;  // typed on standard input before the session began
    QStringList sayLines_;      // --say, not sent yet
    std::set<DPNID> others_;    // the other players present
    bool running_ = false;
    bool comingBack_ = false;  // our Connect is a return from a restart record
    uint32_t frames_ = 0;
    uint32_t livery_ = 0;
    int exitCode_ = 0;
    orvel::net::PortMapper mapper_;
    RestartRecordKeeper record_{peer_};
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    dx8::setSessionAddressSource(std::make_shared<dx8::EnvironmentAddressSource>());
    QCoreApplication::setApplicationName(QStringLiteral("orvel-bot"));

    const orvel::cli::Program program = orvel::bot::program();
    QCommandLineParser parser;
    orvel::cli::prepare(parser, program);
    orvel::bot::addOptions(parser);
    if (const auto end = orvel::cli::parse(parser, program, QCoreApplication::arguments())) {
        return *end;
    }
    auto number = [&](const QString& opt, double low, double high, double* into) {
        bool good = false;
        const double v = parser.value(opt).toDouble(&good);
        if (!good || !(v >= low && v <= high)) {
            return false;
        }
        *into = v;
        return true;
    };

    Options o;
    o.host = parser.isSet(QStringLiteral("host"));
    o.join = parser.value(QStringLiteral("join"));
    if (!parser.positionalArguments().isEmpty()) {
        return orvel::cli::usageError(program, QStringLiteral("unexpected argument \"%1\"")
                                                   .arg(parser.positionalArguments().constFirst()));
    }
    if (o.host == parser.isSet(QStringLiteral("join"))) {
        return orvel::cli::usageError(program, QStringLiteral("give either --host or --join"));
    }
    QString why;
    std::optional<orvel::cli::HostPort> joinAddress;
    if (!o.host && !(joinAddress = orvel::cli::parseHostPort(o.join, kDefaultSessionPort, &why))) {
        return orvel::cli::usageError(program,
                                      QStringLiteral("bad address \"%1\": %2").arg(o.join, why));
    }
    const auto given = parser.isSet(QStringLiteral("meet"))
                           ? std::optional<QString>(parser.value(QStringLiteral("meet")))
                           : std::nullopt;
    if (const auto bad = orvel::bot::takeMeetPoint(given, o.join, &o.meet)) {
        return orvel::cli::usageError(program, *bad);
    }
    double maxPlayers = 6, port = 0;
    if (!number(QStringLiteral("max-players"), 1, 64, &maxPlayers) ||
        maxPlayers != std::floor(maxPlayers)) {
        return orvel::cli::usageError(
            program, QStringLiteral("--max-players takes a whole number from 1 to 64"));
    }
    if (parser.isSet(QStringLiteral("port")) &&
        !orvel::cli::parsePort(parser.value(QStringLiteral("port")))) {
        return orvel::cli::usageError(program,
                                      QStringLiteral("--port takes a number from 1 to 65535"));
    }
    port = orvel::cli::parsePort(parser.value(QStringLiteral("port"))).value_or(0);
    if (!number(QStringLiteral("duration"), 0, 1e7, &o.duration) ||
        !number(QStringLiteral("report"), 0, 1e7, &o.report)) {
        return orvel::cli::usageError(
            program, QStringLiteral("--duration and --report take seconds, 0 or more"));
    }
    o.name = parser.isSet(QStringLiteral("name"))
                 ? parser.value(QStringLiteral("name"))
                 : QStringLiteral("bot-%1").arg(QCoreApplication::applicationPid());
    o.sessionName = parser.value(QStringLiteral("session-name"));
    o.password = parser.value(QStringLiteral("password"));
    if (o.password.size() > kMaxPasswordChars) {
        return orvel::cli::usageError(
            program,
            QStringLiteral("--password takes at most %1 characters").arg(kMaxPasswordChars));
    }
    o.maxPlayers = static_cast<int>(maxPlayers);
    o.migrate = parser.isSet(QStringLiteral("migrate"));
    o.port = static_cast<int>(port);
    if (joinAddress) {
        o.joinHost = joinAddress->host;
        o.joinPort = joinAddress->port;
    }
    o.drive = !parser.isSet(QStringLiteral("parked"));
    o.stamp = parser.isSet(QStringLiteral("stamp"));
    o.comeBack = parser.isSet(QStringLiteral("come-back"));
    o.track = parser.isSet(QStringLiteral("track"));
    o.lines = parser.values(QStringLiteral("say"));
    o.sayNow = parser.isSet(QStringLiteral("say-now"));
    o.portMapping =
        !parser.isSet(QStringLiteral("no-port-mapping")) &&
        orvel::net::portMappingAllowed(orvel::GetDefault(QStringLiteral("PortMapping")));

    // SIGINT and SIGTERM end the run through the event loop, so the session is left properly.
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return 70;
    }
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char c;
        while (::read(signalPipe[0], &c, 1) > 0) {
        }
        QCoreApplication::exit(0);
    });

    auto bot = std::make_unique<Bot>(o);
    if (!bot->start()) {
        return 2;
    }
    if (o.duration > 0) {
        QTimer::singleShot(static_cast<int>(o.duration * 1000), &app,
                           [] { QCoreApplication::exit(0); });
    }
    // Lines on standard input are chat lines.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        qsizetype eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            bot->chat(QString::fromUtf8(pending.left(eol)).trimmed());
            pending.remove(0, eol + 1);
        }
    });
    const int code = app.exec();
    bot->printCounts();
    bot.reset();
    say(QStringLiteral("bye"));
    return code;
}
