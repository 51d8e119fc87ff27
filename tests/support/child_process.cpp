#include "child_process.h"

#include <signal.h>

#include <QDeadlineTimer>

namespace orvel::testing {

ChildProcess::ChildProcess() : env_(QProcessEnvironment::systemEnvironment()) {}

ChildProcess::~ChildProcess() { stop(); }

void ChildProcess::setEnv(const QString& key, const QString& value) { env_.insert(key, value); }

void ChildProcess::removeEnv(const QString& key) { env_.remove(key); }

void ChildProcess::loopbackOnly() {
    setEnv(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("loopback"));
    setEnv(QStringLiteral("ORVEL_ENUM_ADDRESS"), QString());
}

bool ChildProcess::start(const QString& program, const QStringList& args) {
    process_.setProcessEnvironment(env_);
    switch (reads_) {
    case Reads::Stdout:
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        break;
    case Reads::Stderr:
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setReadChannel(QProcess::StandardError);
        break;
    case Reads::Merged:
        process_.setProcessChannelMode(QProcess::MergedChannels);
        break;
    case Reads::Nothing:
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        break;
    }
    process_.start(program, args);
    return process_.waitForStarted(scaledMs(20000));
}

void ChildProcess::send(const QString& line) {
    process_.write((line + QLatin1Char('\n')).toUtf8());
    process_.waitForBytesWritten(scaledMs(5000));
}

void ChildProcess::read() {
    if (!process_.isOpen()) {
        return;
    }
    const QByteArray chunk = reads_ == Reads::Stderr ? process_.readAllStandardError()
                                                     : process_.readAllStandardOutput();
    text_ += QString::fromUtf8(chunk);
    partial_ += chunk;
    qsizetype eol;
    while ((eol = partial_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(partial_.left(eol));
        partial_.remove(0, eol + 1);
    }
}

bool ChildProcess::more() {
    if (!running()) {
        read();
        return false;
    }
    process_.waitForReadyRead(20);
    read();
    return true;
}

QString ChildProcess::text() {
    read();
    return text_;
}

const QStringList& ChildProcess::lines() {
    read();
    return lines_;
}

int ChildProcess::waitLine(const QRegularExpression& re, int timeoutMs, int from) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    read();
    for (int i = from;;) {
        for (; i < lines_.size(); ++i) {
            if (re.match(lines_[i]).hasMatch()) {
                return i;
            }
        }
        if (deadline.hasExpired() || !more()) {
            for (; i < lines_.size(); ++i) {
                if (re.match(lines_[i]).hasMatch()) {
                    return i;
                }
            }
            return -1;
        }
    }
}

QRegularExpressionMatch ChildProcess::waitText(const QRegularExpression& re, int timeoutMs) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    for (;;) {
        QRegularExpressionMatch m = re.match(text());
        if (m.hasMatch() || deadline.hasExpired() || !more()) {
            return m.hasMatch() ? m : re.match(text());
        }
    }
}

int ChildProcess::count(const QRegularExpression& re) {
    read();
    int n = 0;
    for (const QString& line : lines_) {
        n += re.match(line).hasMatch() ? 1 : 0;
    }
    return n;
}

bool ChildProcess::waitCount(const QRegularExpression& re, int n, int timeoutMs) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    while (count(re) < n) {
        if (deadline.hasExpired() || !more()) {
            return count(re) >= n;
        }
    }
    return true;
}

std::optional<int> ChildProcess::waitExit(int timeoutMs) {
    const QDeadlineTimer deadline(scaledMs(timeoutMs));
    while (running() && !deadline.hasExpired()) {
        process_.waitForFinished(50);
        read();
    }
    read();
    if (running() || process_.exitStatus() != QProcess::NormalExit) {
        return std::nullopt;
    }
    return process_.exitCode();
}

std::optional<int> ChildProcess::stop(int graceMs) {
    if (!running()) {
        read();
        return process_.exitStatus() == QProcess::NormalExit ? std::optional(process_.exitCode())
                                                             : std::nullopt;
    }
    if (quitLine_.isEmpty()) {
        process_.terminate();
    } else {
        send(quitLine_);
        process_.closeWriteChannel();
    }
    const std::optional<int> code = waitExit(graceMs);
    if (running()) {
        kill();
    }
    return code;
}

void ChildProcess::kill() {
    if (running()) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(scaledMs(10000));
    }
    read();
}

void ChildProcess::signal(int number) {
    if (running()) {
        ::kill(static_cast<pid_t>(process_.processId()), number);
    }
}

Finished runToEnd(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                  int timeoutMs) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Finished f;
    if (!p.waitForStarted(scaledMs(timeoutMs)) || !p.waitForFinished(scaledMs(timeoutMs))) {
        p.kill();
        p.waitForFinished(5000);
        return f;
    }
    f.out = p.readAllStandardOutput();
    f.err = p.readAllStandardError();
    if (p.exitStatus() == QProcess::NormalExit) {
        f.code = p.exitCode();
    }
    return f;
}

std::optional<int> runToEndInto(const QString& program, const QStringList& args,
                                const QProcessEnvironment& env, const QString& outFile,
                                const QString& errFile, int timeoutMs) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(outFile);
    p.setStandardErrorFile(errFile);
    p.start(program, args);
    if (!p.waitForStarted(scaledMs(timeoutMs)) || !p.waitForFinished(scaledMs(timeoutMs))) {
        p.kill();
        p.waitForFinished(5000);
        return std::nullopt;
    }
    return p.exitStatus() == QProcess::NormalExit ? std::optional(p.exitCode()) : std::nullopt;
}

void endProcess(qint64 pid, int graceMs) {
    const auto id = static_cast<pid_t>(pid);
    if (id <= 0 || ::kill(id, SIGTERM) != 0) {
        return;
    }
    waitUntil([id] { return ::kill(id, 0) != 0; }, graceMs);
    ::kill(id, SIGKILL);
}

}  // namespace orvel::testing
