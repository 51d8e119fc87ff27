#pragma once

// The orvel program on a given X display, with settings and runtime folders of its own.

#include <QProcess>
#include <QTemporaryDir>

namespace orvel::testing {

class OrvelProcess {
public:
    explicit OrvelProcess(const QString& display) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
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

    // Where it keeps its claims on games.
    QString runtimeDir() const { return home_.path(); }

private:
    QTemporaryDir home_;
    QProcess process_;
    bool started_ = false;
};

}  // namespace orvel::testing
