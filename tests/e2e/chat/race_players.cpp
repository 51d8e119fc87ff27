#include "race_players.h"

#include <QCoreApplication>
#include <QThread>

#ifndef ORVEL_BOT_PROGRAM
#error "ORVEL_BOT_PROGRAM must name the orvel-bot program"
#endif

namespace race_e2e {

namespace {

// The chat's line diagnostics quote the line as Qt's debug stream does.
QString quoted(const QString& line) {
    QString out = line;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

}  // namespace

std::vector<uint8_t> pieces(orvel::testing::StandinProcess& game, int slot) {
    const uint32_t r = carRecord(slot);
    std::vector<uint8_t> out = game.read(r, 0x80);
    const std::vector<uint8_t> tail = game.read(r + 0x3DC, 16);
    if (out.size() != 0x80 || tail.size() != 16) {
        return {};
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

QString sessionName(const char* what) {
    return QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(QCoreApplication::applicationPid());
}

// ---- Racer ------------------------------------------------------------------------------------

Racer::Racer(const QString& name, const QStringList& gameOptions, orvel::testing::Desktop desktop)
    : name_(name), orvel_(name, desktop), gameOptions_(gameOptions) {
    orvel_.setEnv(QStringLiteral("QT_LOGGING_RULES"),
                  QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                 "orvel.session.debug=true;orvel.chat.debug=true"));
}

Racer::~Racer() {
    game_.reset();
}

bool Racer::startGame() {
    if (!gameOptions_.isEmpty() && !game_) {
        game_ = std::make_unique<orvel::testing::StandinProcess>(
            orvel_.displayName(), gameOptions_ + QStringList{QStringLiteral("-qwindowgeometry"),
                                                             QStringLiteral("640x480+600+0")});
    }
    return !game_ || game_->ok();
}

bool Racer::startProgram() {
    return startGame() && orvel_.start();
}

int Racer::host(const QString& session, bool migrate) {
    orvel_.presetSettings(
        {{"UserName", name_}, {"GameName", session}, {"HostMigrate", migrate ? "1" : "0"}});
    return startProgram() ? orvel_.hostWithPresets() : 0;
}

::testing::AssertionResult Racer::hostWith(const char* session, bool migrate,
                                           std::initializer_list<Racer*> joiners, int* port) {
    const auto failed = [](Racer& r, const char* what) {
        return ::testing::AssertionFailure() << r.name().toStdString() << " " << what << ":\n"
                                             << r.orvel().log().toStdString();
    };
    if (!ready()) {
        return failed(*this, "has no display");
    }
    const int p = host(sessionName(session), migrate);
    if (p <= 0) {
        return failed(*this, "did not host");
    }
    for (Racer* r : joiners) {
        if (!r->ready() || !r->join(p)) {
            return failed(*r, "did not join");
        }
    }
    if (port != nullptr) {
        *port = p;
    }
    return ::testing::AssertionSuccess();
}

bool Racer::searchOnly(int port) {
    orvel_.presetSettings({{"UserName", name_}});
    orvel_.setEnv(QStringLiteral("ORVEL_ENUM_ADDRESS"), QStringLiteral("127.0.0.1:%1").arg(port));
    if (!startProgram() || !orvel_.toSessionsPage()) {
        return false;
    }
    orvel_.key(QStringLiteral("alt+t"));
    return orvel_.waitLog(QRegularExpression(QStringLiteral("lstGames: .+ - \\d+/\\d+ - Latency")))
        .hasMatch();
}

bool Racer::join(int port) {
    if (!searchOnly(port)) {
        return false;
    }
    // The list has the focus; its only line is this session.
    orvel_.key(QStringLiteral("Home"));
    orvel_.key(QStringLiteral("alt+j"));
    return !orvel_.waitWindow(kMain).isEmpty();
}

QString Racer::caption() {
    if (!orvel_.windows(kMainHost).isEmpty()) {
        return QStringLiteral("Orvel (HOST)");
    }
    if (!orvel_.windows(kMain).isEmpty()) {
        return QStringLiteral("Orvel");
    }
    return QString();
}

QString Racer::freshLog() {
    // A pattern that never matches: waits a moment for output on its way and reads it.
    orvel_.waitLog(QRegularExpression(QStringLiteral("(?!)")), 200);
    return orvel_.log();
}

bool Racer::hasChatLine(const QString& line) {
    return freshLog().contains(QStringLiteral("orvel.chat: line ") + quoted(line) +
                               QLatin1Char('\n'));
}

bool Racer::waitChatLine(const QString& line, int timeoutMs) {
    return waitLog(QRegularExpression::escape(QStringLiteral("orvel.chat: line ") + quoted(line)) +
                       QStringLiteral("$"),
                   timeoutMs);
}

bool Racer::waitLog(const QString& pattern, int timeoutMs) {
    return orvel_
        .waitLog(QRegularExpression(pattern, QRegularExpression::MultilineOption), timeoutMs)
        .hasMatch();
}

void Racer::clickInput() {
    const QString window = mainWindow();
    orvel_.focus(window);
    // The window is 7680 twips wide at its scale; the input line's middle lies at 2857, 4882
    // twips (15 twips to a pixel at scale 1).
    int width = 0;
    for (const QString& line :
         orvel_.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window})
             .split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("WIDTH="))) {
            width = line.mid(6).toInt();
        }
    }
    const double scale = width > 0 ? width / 512.0 : 1.0;
    orvel_.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                    QString::number(qRound(2857 / 15.0 * scale)),
                    QString::number(qRound(4882 / 15.0 * scale)), QStringLiteral("click"),
                    QStringLiteral("1")});
    QThread::msleep(150);
}

void Racer::say(const QString& text) {
    clickInput();
    orvel_.type(text);
    orvel_.key(QStringLiteral("Return"));
}

void Racer::whisper(int row, const QString& text) {
    clickInput();
    // The input line has the focus; the roster follows it in the tab order and takes its first
    // entry as current on entry; the button comes next.
    orvel_.type(text);
    orvel_.key(QStringLiteral("Tab"));
    orvel_.key(QStringLiteral("Home"));
    for (int i = 0; i < row; ++i) {
        orvel_.key(QStringLiteral("Down"));
    }
    orvel_.key(QStringLiteral("Tab"));
    orvel_.key(QStringLiteral("space"));
}

// ---- Bot --------------------------------------------------------------------------------------

Bot::Bot(const QString& name) : name_(name) {
    process_.loopbackOnly();
    process_.removeEnv(QStringLiteral("DISPLAY"));
    process_.setReads(orvel::testing::ChildProcess::Reads::Merged);
}

bool Bot::start(const QStringList& args) {
    return process_.start(QStringLiteral(ORVEL_BOT_PROGRAM),
                          args + QStringList{QStringLiteral("--name"), name_,
                                             QStringLiteral("--report"), QStringLiteral("0")});
}

bool Bot::host(const QString& session, bool migrate, int* port, const QStringList& extra) {
    QStringList args{QStringLiteral("--host"), QStringLiteral("--session-name"), session};
    if (migrate) {
        args << QStringLiteral("--migrate");
    }
    if (!start(args + extra)) {
        return false;
    }
    const QRegularExpression re(QStringLiteral("hosting .* on port (\\d+)"));
    if (!waitOutput(re)) {
        return false;
    }
    *port = re.match(output()).captured(1).toInt();
    return *port > 0;
}

bool Bot::join(int port, const QStringList& extra) {
    return start(QStringList{QStringLiteral("--join"), QStringLiteral("127.0.0.1:%1").arg(port)} +
                 extra) &&
           waitOutput(QRegularExpression(QStringLiteral("^joined on port"),
                                         QRegularExpression::MultilineOption));
}

QString Bot::output() {
    return process_.text();
}

bool Bot::waitOutput(const QRegularExpression& re, int timeoutMs) {
    return process_.waitText(re, timeoutMs).hasMatch();
}

bool Bot::waitLine(const QString& line, int timeoutMs) {
    return !waitLine(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(line) +
                                        QLatin1Char('$')),
                     0, timeoutMs)
                .isEmpty();
}

QString Bot::waitLine(const QRegularExpression& re, qsizetype from, int timeoutMs) {
    const int i = process_.waitLine(re, timeoutMs, static_cast<int>(from));
    return i < 0 ? QString() : process_.lines()[i];
}

bool Bot::stop() {
    return process_.stop(15000) == 0;
}

void Bot::kill() {
    process_.kill();
}

uint32_t Bot::livery() const {
    return static_cast<uint32_t>(qHash(name_)) | 0x01000000u;
}

}  // namespace race_e2e
