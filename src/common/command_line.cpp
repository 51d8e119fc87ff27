#include "common/command_line.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdio>
#include <set>

namespace orvel::cli {

namespace {

void print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

}  // namespace

QString version() {
    return QStringLiteral(ORVEL_VERSION);
}

void prepare(QCommandLineParser& parser, const Program& program) {
    QCoreApplication::setApplicationName(program.name);
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEL_VERSION));
    parser.setApplicationDescription(program.description);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
}

std::optional<int> parse(QCommandLineParser& parser, const Program& program,
                         const QStringList& arguments) {
    if (!parser.parse(arguments)) {
        // Named as it was typed ("--nope"), where Qt's own words drop the dashes.
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            for (const QString& a : arguments.mid(1)) {
                QString name = a.section(QLatin1Char('='), 0, 0);
                while (name.startsWith(QLatin1Char('-'))) {
                    name.remove(0, 1);
                }
                if (a.startsWith(QLatin1Char('-')) && name == unknown.constFirst()) {
                    return usageError(program, QStringLiteral("unknown option \"%1\"").arg(a));
                }
            }
        }
        return usageError(program, parser.errorText());
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // The parser names the program by the path it was started with; the usage line by its
        // name reads the same however it was started.
        QString text = parser.helpText();
        const qsizetype eol = text.indexOf(QLatin1Char('\n'));
        text.replace(0, eol, QStringLiteral("Usage: %1 %2").arg(program.name, program.synopsis));
        if (!program.epilog.isEmpty()) {
            text += QLatin1Char('\n') + program.epilog;
        }
        print(stdout, text);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        print(stdout, QStringLiteral("%1 %2\n").arg(program.name, QStringLiteral(ORVEL_VERSION)));
        return 0;
    }
    return std::nullopt;
}

int usageError(const Program& program, const QString& why) {
    QString reason = why.trimmed();
    reason.replace(QLatin1Char('\n'), QLatin1Char(' '));
    print(stderr,
          QStringLiteral("%1: %2 (usage: %1 %3)\n").arg(program.name, reason, program.synopsis));
    return kUsageStatus;
}

QStringList withoutQtOptions(int argc, char** argv) {
    static const std::set<QString> withValue = {
        QStringLiteral("-platform"),        QStringLiteral("-platformpluginpath"),
        QStringLiteral("-platformtheme"),   QStringLiteral("-plugin"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowtitle"),
        QStringLiteral("-qwindowicon"),     QStringLiteral("-display"),
        QStringLiteral("-geometry"),        QStringLiteral("-style"),
        QStringLiteral("-stylesheet"),      QStringLiteral("-session"),
        QStringLiteral("-title"),           QStringLiteral("-visual"),
    };
    static const std::set<QString> flags = {
        QStringLiteral("-reverse"), QStringLiteral("-sync"),        QStringLiteral("-nograb"),
        QStringLiteral("-dograb"),  QStringLiteral("-widgetcount"),
    };
    QStringList out;
    for (int i = 0; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (i > 0 && withValue.count(a) != 0) {
            ++i;
        } else if (i == 0 || flags.count(a) == 0) {
            out << a;
        }
    }
    return out;
}

std::optional<int> parsePort(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    const int port = text.toInt();
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

std::optional<HostPort> parseHostPort(const QString& text, int defaultPort, QString* why,
                                      bool emptyHostAllowed) {
    auto fail = [&](const char* reason) -> std::optional<HostPort> {
        if (why != nullptr) {
            *why = QString::fromLatin1(reason);
        }
        return std::nullopt;
    };
    const QString t = text.trimmed();
    HostPort out{t, defaultPort};
    const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (t.indexOf(QLatin1Char(':')) != colon || t.startsWith(QLatin1Char('['))) {
            return fail("IPv6 addresses are not supported");
        }
        const auto port = parsePort(t.mid(colon + 1).trimmed());
        if (!port) {
            return fail("the port must be a number from 1 to 65535");
        }
        out.host = t.left(colon).trimmed();
        out.port = *port;
    }
    if (out.host.isEmpty() && !emptyHostAllowed) {
        return fail("the host is missing");
    }
    return out;
}

std::optional<QByteArray> parseHex(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!hex.match(text).hasMatch()) {
        return std::nullopt;
    }
    return QByteArray::fromHex(text.toLatin1());
}

}  // namespace orvel::cli
