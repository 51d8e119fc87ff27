#pragma once

// The orvel program on a given X display, with settings and runtime folders of its own.

#include <QProcess>
#include <QTemporaryDir>

namespace orvel::testing {

class OrvelProcess {
public:
    // Where the user's session keeps its runtime folder: XDG_RUNTIME_DIR, or no such folder
    // (only a home).
    enum class Session { WithRuntimeDir, HomeOnly };

    explicit OrvelProcess(const QString& display, Session session = Session::WithRuntimeDir) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral("config")));
        if (session == Session::WithRuntimeDir) {
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
            claims_ = home_.filePath(QStringLiteral("orvel"));
        } else {
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            env.remove(QStringLiteral("XDG_CACHE_HOME"));
            env.insert(QStringLiteral("HOME"), home_.path());
            claims_ = home_.filePath(QStringLiteral(".cache/orvel-runtime"));
        }
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start(QStringLiteral(ORVEL_PROGRAM), {});
        started_ = process_.waitForStarted(20000);
    }
    ~OrvelProcess() { stop(); }
    bool started() const { return started_; }
    bool running() const { return process_.state() == QProcess::Running; }
    int exitCode() const {
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(15000)) {
                process_.kill();
                process_.waitForFinished(10000);
            }
        }
    }

    // Its XDG_RUNTIME_DIR (with Session::WithRuntimeDir).
    QString runtimeDir() const { return home_.path(); }
    // The folder where it keeps its claims on games.
    QString claimsFolder() const { return claims_; }

private:
    QTemporaryDir home_;
    QString claims_;
    QProcess process_;
    bool started_ = false;
};

}  // namespace orvel::testing
