#pragma once
// Steering from tests and scripts: a local socket, one command per line, one reply line each.
// Replies are "ok", "ok <payload>" or "error <reason>".

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace standin {

class Game;
class GameWindow;

class ControlServer : public QObject {
    Q_OBJECT
public:
    ControlServer(Game& game, GameWindow& window);
    // Listens at path (a stale socket file there is replaced). Empty text on success.
    QString listen(const QString& path);

    // One command line in, one reply line out (without the newline).
    QString handle(const QString& line);

    static QString helpText();

private:
    void onConnection();

    Game& game_;
    GameWindow& window_;
    QLocalServer server_;
};

}  // namespace standin
