#pragma once

// The command-line convention every Orvel program follows: --help and --version print to
// standard output and end with status 0; a bad option or argument prints one line, the reason
// and the usage, to standard error and ends with status 2. Also the parsing of the values that
// several programs take: HOST[:PORT] addresses and hex byte strings.

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <optional>

namespace orvel::cli {

constexpr int kUsageStatus = 2;

// Describes one program: its name, a one-line synopsis for the usage ("[options] OUTPUT.png"),
// a paragraph for --help and what --help says after the options (examples; none by default).
struct Program {
    QString name;
    QString synopsis;
    QString description;
    QString epilog = {};
};

// Orvel's version, as --version prints it.
QString version();

// Adds --help and --version to the parser and names the program and its version.
void prepare(QCommandLineParser& parser, const Program& program);

// Parses arguments (the program's own name first). Returns the status to end with when the
// program should stop here (after --help, --version or a bad command line), nothing when it
// should go on.
std::optional<int> parse(QCommandLineParser& parser, const Program& program,
                         const QStringList& arguments);

// "NAME: WHY (usage: NAME SYNOPSIS)" on standard error; returns kUsageStatus.
int usageError(const Program& program, const QString& why);

// argv without the options that Qt's application object handles itself (-platform xcb,
// -qwindowgeometry 720x540, -reverse, ...), for programs that parse before it exists.
QStringList withoutQtOptions(int argc, char** argv);

struct HostPort {
    QString host;
    int port = 0;
};

// "HOST" or "HOST:PORT", trimmed; defaultPort when no port is given. Nothing when the port is
// not a number from 1 to 65535, the host is an IPv6 form or empty (unless emptyHostAllowed:
// a search of the local network); why (if given) says which.
std::optional<HostPort> parseHostPort(const QString& text, int defaultPort, QString* why = nullptr,
                                      bool emptyHostAllowed = false);

// A port from 1 to 65535 in decimal digits.
std::optional<int> parsePort(const QString& text);

// An even number of hex digits (either case) as bytes; nothing for anything else.
std::optional<QByteArray> parseHex(const QString& text);

}  // namespace orvel::cli
