#include "standin_client.h"

#include <QDeadlineTimer>
#include <QThread>

namespace standin {

bool Client::connectTo(const QString& path, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        socket_.abort();
        socket_.connectToServer(path);
        if (socket_.waitForConnected(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            pending_.clear();
            error_.clear();
            return true;
        }
        error_ = socket_.errorString();
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
}

QString Client::command(const QString& line, int timeoutMs) {
    if (!isConnected()) {
        error_ = QStringLiteral("not connected");
        return {};
    }
    socket_.write(line.toUtf8() + '\n');
    const QDeadlineTimer deadline(timeoutMs);
    if (!socket_.waitForBytesWritten(
            static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))) &&
        socket_.bytesToWrite() > 0) {
        error_ = socket_.errorString();
        return {};
    }
    while (!pending_.contains('\n')) {
        if (deadline.hasExpired()) {
            error_ = QStringLiteral("no reply within %1 ms").arg(timeoutMs);
            return {};
        }
        if (socket_.bytesAvailable() == 0 && !socket_.waitForReadyRead(static_cast<int>(
                                                 std::max<qint64>(1, deadline.remainingTime())))) {
            if (!isConnected() && socket_.bytesAvailable() == 0) {
                error_ = QStringLiteral("connection closed");
                return {};
            }
            continue;
        }
        pending_ += socket_.readAll();
    }
    const qsizetype end = pending_.indexOf('\n');
    const QString reply = QString::fromUtf8(pending_.left(end));
    pending_.remove(0, end + 1);
    return reply;
}

}  // namespace standin
