#include "control_server.h"

#include "common/command_line.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTimer>
#include <cmath>
#include <optional>

#include "game.h"
#include "game_memory.h"
#include "game_window.h"
#include "message_area.h"

namespace standin {
namespace {

constexpr qsizetype kMaxLine = 256 * 1024;
constexpr std::uint32_t kMaxPeek = 64 * 1024;

QString ok(const QString& payload = {}) {
    return payload.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + payload;
}
QString fail(const QString& why) {
    return QStringLiteral("error ") + why;
}
QString json(const QJsonObject& o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}
QString hexAddress(std::uint32_t a) {
    return QStringLiteral("0x%1").arg(a, 0, 16);
}

// Decimal or 0x-prefixed hexadecimal, within 32 bits.
std::optional<std::uint32_t> parseNumber(const QString& text) {
    bool good = false;
    const qulonglong v = text.toULongLong(&good, 0);
    if (!good || v > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<double> parseReal(const QString& text) {
    bool good = false;
    const double v = text.toDouble(&good);
    if (!good || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

QString siteByte(std::uint32_t site) {
    return QString::fromLatin1(readBytes(site, 1).toHex());
}

}  // namespace

ControlServer::ControlServer(Game& game, GameWindow& window) : game_(game), window_(window) {
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::onConnection);
}

QString ControlServer::listen(const QString& path) {
    QLocalServer::removeServer(path);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path)) {
        return server_.errorString();
    }
    return {};
}

void ControlServer::onConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                const QByteArray raw = socket->readLine(kMaxLine);
                if (!raw.endsWith('\n')) {
                    // Longer than any command: refuse it rather than act on a piece of it.
                    socket->write("error line too long\n");
                    socket->flush();
                    socket->disconnectFromServer();
                    return;
                }
                const QString line = QString::fromUtf8(raw).trimmed();
                const QString reply = handle(line);
                socket->write(reply.toUtf8() + '\n');
                socket->flush();
                if (reply == QLatin1String("ok") && line.startsWith(QLatin1String("quit"))) {
                    socket->waitForBytesWritten(1000);
                    const int status = static_cast<int>(
                        parseNumber(line.section(QLatin1Char(' '), 1, 1)).value_or(0));
                    QTimer::singleShot(0, qApp, [status] { QCoreApplication::exit(status); });
                    return;
                }
            }
            if (socket->bytesAvailable() > kMaxLine) {
                // A line without end: refuse it rather than keep growing.
                socket->write("error line too long\n");
                socket->flush();
                socket->disconnectFromServer();
            }
        });
    }
}

QString ControlServer::helpText() {
    return QStringLiteral(
        "commands: help | status | race start|end|pause|resume | autopilot on|off | hold on|off | "
        "place X Y [HEADING] | car SLOT | setbytes SLOT OFFSET HEX | poke ADDRESS HEX | "
        "peek ADDRESS LENGTH | message | changes | focus | title TEXT | quit [STATUS]");
}

QString ControlServer::handle(const QString& line) {
    const QStringList args = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (args.isEmpty()) {
        return fail(QStringLiteral("empty command"));
    }
    const QString& cmd = args[0];
    const Edition& e = game_.edition();

    if (cmd == QLatin1String("help")) {
        return ok(helpText());
    }
    if (cmd == QLatin1String("status") && args.size() == 1) {
        const Game::Counters& c = game_.counters();
        QJsonObject o;
        o[QStringLiteral("pid")] = static_cast<qint64>(getpid());
        o[QStringLiteral("edition")] = QString::fromLatin1(e.name);
        o[QStringLiteral("title")] = window_.windowTitle();
        o[QStringLiteral("mode")] = QString::fromLatin1(Game::modeName(game_.mode()));
        o[QStringLiteral("frame")] = static_cast<qint64>(game_.frameCount());
        o[QStringLiteral("autopilot")] = game_.autopilot();
        o[QStringLiteral("hold")] = game_.held();
        o[QStringLiteral("visible")] = window_.isVisible();
        o[QStringLiteral("focused")] = window_.isActiveWindow();
        o[QStringLiteral("play")] = static_cast<double>(readF32(game_.carRecord(0) + rec::play));
        o[QStringLiteral("status_word")] =
            static_cast<qint64>(static_cast<std::int32_t>(readU32(e.statusWord)));
        o[QStringLiteral("site_a")] = siteByte(e.siteA);
        o[QStringLiteral("site_b")] = siteByte(e.siteB);
        o[QStringLiteral("a_runs")] = static_cast<qint64>(c.aRuns);
        o[QStringLiteral("a_moves")] = static_cast<qint64>(c.aMoves);
        o[QStringLiteral("b_runs")] = static_cast<qint64>(c.bRuns);
        o[QStringLiteral("b_moves")] = static_cast<qint64>(c.bMoves);
        return ok(json(o));
    }
    if (cmd == QLatin1String("race") && args.size() == 2) {
        if (args[1] == QLatin1String("start")) {
            game_.startRace();
        } else if (args[1] == QLatin1String("end")) {
            game_.endRace();
        } else if (args[1] == QLatin1String("pause")) {
            if (game_.mode() != Mode::Race) {
                return fail(QStringLiteral("no race to pause"));
            }
            game_.pause();
        } else if (args[1] == QLatin1String("resume")) {
            if (game_.mode() != Mode::Paused) {
                return fail(QStringLiteral("the race is not paused"));
            }
            game_.resume();
        } else {
            return fail(QStringLiteral("race takes start, end, pause or resume"));
        }
        return ok();
    }
    if (cmd == QLatin1String("autopilot") && args.size() == 2 &&
        (args[1] == QLatin1String("on") || args[1] == QLatin1String("off"))) {
        game_.setAutopilot(args[1] == QLatin1String("on"));
        return ok();
    }
    if (cmd == QLatin1String("hold") && args.size() == 2 &&
        (args[1] == QLatin1String("on") || args[1] == QLatin1String("off"))) {
        game_.setHeld(args[1] == QLatin1String("on"));
        return ok();
    }
    if (cmd == QLatin1String("place") && (args.size() == 3 || args.size() == 4)) {
        const auto x = parseReal(args[1]);
        const auto y = parseReal(args[2]);
        const auto h = args.size() == 4 ? parseReal(args[3]) : std::optional<double>(0.0);
        if (!x || !y || !h || std::abs(*x) > 900 || std::abs(*y) > 900) {
            return fail(QStringLiteral("place takes X Y [HEADING], finite, |X|,|Y| <= 900"));
        }
        game_.placeCar0(*x, *y, *h);
        return ok();
    }
    if (cmd == QLatin1String("car") && args.size() == 2) {
        const auto slot = parseNumber(args[1]);
        if (!slot || *slot >= static_cast<std::uint32_t>(kCarSlots)) {
            return fail(QStringLiteral("car slot is 0 to 5"));
        }
        const CarView c = game_.car(static_cast<int>(*slot));
        QJsonObject o;
        o[QStringLiteral("slot")] = static_cast<int>(*slot);
        o[QStringLiteral("address")] = hexAddress(game_.carRecord(static_cast<int>(*slot)));
        // JSON has no NaN or infinity; such values come out as null.
        auto num = [](float v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(); };
        o[QStringLiteral("x")] = num(c.x);
        o[QStringLiteral("y")] = num(c.y);
        o[QStringLiteral("heading")] = num(c.heading);
        o[QStringLiteral("speed")] = num(c.speed);
        o[QStringLiteral("present")] = c.present;
        o[QStringLiteral("progress")] = num(c.progress);
        o[QStringLiteral("play")] = num(c.play);
        o[QStringLiteral("lap")] = static_cast<qint64>(c.lap);
        return ok(json(o));
    }
    if (cmd == QLatin1String("setbytes") && args.size() == 4) {
        const auto slot = parseNumber(args[1]);
        const auto offset = parseNumber(args[2]);
        const auto bytes = orvel::cli::parseHex(args[3]);
        if (!slot || *slot >= static_cast<std::uint32_t>(kCarSlots) || !offset || !bytes) {
            return fail(QStringLiteral("setbytes takes SLOT (0-5) OFFSET HEX"));
        }
        if (*offset > kRecordStride ||
            static_cast<std::uint32_t>(bytes->size()) > kRecordStride - *offset) {
            return fail(QStringLiteral("setbytes would run past the car record"));
        }
        writeBytes(game_.carRecord(static_cast<int>(*slot)) + *offset, *bytes);
        return ok();
    }
    if (cmd == QLatin1String("poke") && args.size() == 3) {
        const auto address = parseNumber(args[1]);
        const auto bytes = orvel::cli::parseHex(args[2]);
        if (!address || !bytes) {
            return fail(QStringLiteral("poke takes ADDRESS HEX"));
        }
        if (!inData(*address, static_cast<std::uint32_t>(bytes->size()))) {
            return fail(QStringLiteral("poke reaches only the data range %1-%2")
                            .arg(hexAddress(kDataBegin), hexAddress(kDataEnd)));
        }
        writeBytes(*address, *bytes);
        return ok();
    }
    if (cmd == QLatin1String("peek") && args.size() == 3) {
        const auto address = parseNumber(args[1]);
        const auto length = parseNumber(args[2]);
        if (!address || !length || *length > kMaxPeek) {
            return fail(QStringLiteral("peek takes ADDRESS LENGTH (at most %1)").arg(kMaxPeek));
        }
        if (!inData(*address, *length) && !inCode(*address, *length)) {
            return fail(QStringLiteral("peek reaches only %1-%2 and %3-%4")
                            .arg(hexAddress(kDataBegin), hexAddress(kDataEnd),
                                 hexAddress(kCodeBegin), hexAddress(kCodeEnd)));
        }
        const QByteArray bytes = readBytes(*address, *length);
        return bytes.isEmpty() ? ok() : ok(QString::fromLatin1(bytes.toHex()));
    }
    if (cmd == QLatin1String("message") && args.size() == 1) {
        const MessageArea m = readMessageArea(e);
        QJsonObject o;
        o[QStringLiteral("shown")] = m.shown;
        o[QStringLiteral("value")] = hexAddress(m.value);
        o[QStringLiteral("last")] = m.last;
        o[QStringLiteral("input")] = m.input;
        o[QStringLiteral("last_hex")] = QString::fromLatin1(m.lastRaw.toHex());
        o[QStringLiteral("input_hex")] = QString::fromLatin1(m.inputRaw.toHex());
        return ok(json(o));
    }
    if (cmd == QLatin1String("changes") && args.size() == 1) {
        QJsonArray list;
        for (const auto& [address, length] : changedRanges(e)) {
            if (list.size() >= 1000) {
                break;
            }
            list.append(QJsonArray{hexAddress(address), static_cast<qint64>(length)});
        }
        return ok(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
    }
    if (cmd == QLatin1String("focus") && args.size() == 1) {
        window_.takeFocus();
        return ok();
    }
    if (cmd == QLatin1String("title") && args.size() > 1) {
        window_.setWindowTitle(line.section(QLatin1Char(' '), 1));
        return ok();
    }
    if (cmd == QLatin1String("quit") && args.size() <= 2) {
        const auto status =
            args.size() == 2 ? parseNumber(args[1]) : std::optional<std::uint32_t>(0);
        return status && *status <= 125 ? ok() : fail(QStringLiteral("a status is 0 to 125"));
    }
    return fail(
        QStringLiteral("unknown command or wrong arguments: %1; %2").arg(cmd.left(40), helpText()));
}

}  // namespace standin
