#pragma once
// The game's one window: the circuit seen from above, the six cars drawn from their records,
// and the message area while it is switched on.

#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include "game.h"

namespace standin {

class GameWindow : public QWidget {
    Q_OBJECT
public:
    GameWindow(Game& game, const QString& title, int frameMs);

    // Brings the window to the front and gives it the keyboard focus.
    void takeFocus();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void tick();
    bool steerKey(int key, bool down);
    // The grass and the circuit, which never change: drawn once, copied every frame.
    const QPixmap& background();

    Game& game_;
    QTimer timer_;
    QElapsedTimer clock_;
    QPixmap background_;
};

}  // namespace standin
