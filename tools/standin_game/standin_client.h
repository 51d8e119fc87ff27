#pragma once
// Client side of kartova-standin's control socket, for tests and tools: one command line out,
// one reply line back, every wait bounded.

#include <QLocalSocket>
#include <QString>

namespace standin {

class Client {
public:
    // Connects to the socket at path, retrying until it accepts or timeoutMs has passed.
    bool connectTo(const QString& path, int timeoutMs = 10000);
    bool isConnected() const { return socket_.state() == QLocalSocket::ConnectedState; }

    // Sends one command and returns its reply line ("ok ..." or "error ..."), or an empty text
    // when no reply came within timeoutMs (lastError() says why).
    QString command(const QString& line, int timeoutMs = 10000);

    QString lastError() const { return error_; }

private:
    QLocalSocket socket_;
    QByteArray pending_;
    QString error_;
};

}  // namespace standin
