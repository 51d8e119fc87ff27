#include "game_window.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <numbers>

#include "message_area.h"
#include "track.h"

namespace standin {
namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 540;
constexpr int kHudHeight = 28;
constexpr int kMessageHeight = 64;
constexpr double kViewHalfWidth = 320.0;
constexpr double kViewHalfHeight = 170.0;

bool drawable(const CarView& c) {
    return c.present && std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(c.heading) &&
           std::abs(c.x) < 10000 && std::abs(c.y) < 10000;
}

// Where the circuit's world coordinates land in the window.
struct View {
    QPointF centre;
    double scale;
    QPointF operator()(QPointF w) const { return centre + w * scale; }
};

View viewOf(const QWidget& w) {
    const QRectF view(0, kHudHeight, w.width(), w.height() - kHudHeight - kMessageHeight);
    return {view.center(),
            std::min(view.width() / (2 * kViewHalfWidth), view.height() / (2 * kViewHalfHeight))};
}

}  // namespace

GameWindow::GameWindow(Game& game, const QString& title, int frameMs) : game_(game) {
    setWindowTitle(title);
    setFixedSize(kWidth, kHeight);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    timer_.setInterval(frameMs);
    connect(&timer_, &QTimer::timeout, this, &GameWindow::tick);
    clock_.start();
    timer_.start();
}

void GameWindow::takeFocus() {
    show();
    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
}

void GameWindow::tick() {
    const double dt = static_cast<double>(clock_.nsecsElapsed()) / 1e9;
    clock_.restart();
    game_.frame(dt);
    update();
}

const QPixmap& GameWindow::background() {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (background_.size() == pixels && background_.devicePixelRatio() == ratio) {
        return background_;
    }
    background_ = QPixmap(pixels);
    background_.setDevicePixelRatio(ratio);
    QPainter p(&background_);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(58, 128, 62));
    const View toScreen = viewOf(*this);
    QPainterPath path;
    const int steps = 240;
    for (int i = 0; i <= steps; ++i) {
        const QPointF s = toScreen(Track::point(Track::length() * i / steps));
        if (i == 0) {
            path.moveTo(s);
        } else {
            path.lineTo(s);
        }
    }
    p.setPen(QPen(QColor(235, 235, 235), (2 * Track::kHalfWidth + 4) * toScreen.scale));
    p.drawPath(path);
    p.setPen(QPen(QColor(88, 88, 94), 2 * Track::kHalfWidth * toScreen.scale));
    p.drawPath(path);
    p.setPen(QPen(QColor(200, 200, 200), 1.5, Qt::DashLine));
    p.drawPath(path);
    p.setPen(QPen(Qt::white, 4));
    p.drawLine(toScreen(Track::lanePoint(0, -Track::kHalfWidth)),
               toScreen(Track::lanePoint(0, Track::kHalfWidth)));
    return background_;
}

void GameWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, background());
    p.setRenderHint(QPainter::Antialiasing);
    const View toScreen = viewOf(*this);
    const double scale = toScreen.scale;
    const QRectF view(0, kHudHeight, width(), height() - kHudHeight - kMessageHeight);

    // The cars, the local one last so it stays on top.
    for (int slot = kCarSlots - 1; slot >= 0; --slot) {
        const CarView c = game_.car(slot);
        if (!drawable(c)) {
            continue;
        }
        p.save();
        p.translate(toScreen(QPointF(c.x, c.y)));
        p.rotate(c.heading * 180.0 / std::numbers::pi);
        const QRectF body(-10 * scale, -5.5 * scale, 20 * scale, 11 * scale);
        p.setPen(QPen(slot == 0 ? Qt::white : Qt::black, 1.5));
        p.setBrush(c.colour);
        p.drawRoundedRect(body, 3, 3);
        p.fillRect(QRectF(4 * scale, -4 * scale, 4 * scale, 8 * scale), QColor(30, 30, 40));
        p.restore();
        if (slot > 0) {
            p.setPen(Qt::white);
            p.drawText(toScreen(QPointF(c.x, c.y)) + QPointF(8, -8), QString::number(slot));
        }
    }

    // Head-up line.
    p.fillRect(QRectF(0, 0, width(), kHudHeight), QColor(20, 20, 28));
    p.setPen(Qt::white);
    const CarView me = game_.car(0);
    QString hud = QStringLiteral("KARTOVA  %1  %2")
                      .arg(QString::fromLatin1(game_.edition().name).toUpper(),
                           QString::fromLatin1(Game::modeName(game_.mode())).toUpper());
    if (game_.mode() != Mode::Menu) {
        hud += QStringLiteral("   lap %1   %2 s   %3 km/h")
                   .arg(me.lap + 1)
                   .arg(static_cast<double>(me.play), 0, 'f', 1)
                   .arg(std::lround(std::abs(me.speed) * 0.8));
    }
    if (game_.autopilot()) {
        hud += QStringLiteral("   autopilot");
    }
    p.drawText(QRectF(10, 0, width() - 20, kHudHeight), Qt::AlignVCenter | Qt::AlignLeft, hud);

    if (game_.mode() != Mode::Race) {
        const QString banner = game_.mode() == Mode::Menu
                                   ? QStringLiteral("MENU - press Enter to race")
                                   : QStringLiteral("PAUSED - F9 to go on");
        const QRectF box(view.center() - QPointF(170, 24), QSizeF(340, 48));
        p.fillRect(box, QColor(0, 0, 0, 170));
        p.drawText(box, Qt::AlignCenter, banner);
    }

    // Message area: the last chat line and the input line, as the memory holds them.
    const MessageArea m = readMessageArea(game_.edition());
    const QRectF band(0, height() - kMessageHeight, width(), kMessageHeight);
    p.fillRect(band, QColor(12, 12, 18));
    if (m.shown) {
        // One character per byte, like the game's own fixed-pitch font.
        QFont mono(QStringLiteral("monospace"));
        mono.setStyleHint(QFont::TypeWriter);
        mono.setFixedPitch(true);
        p.setFont(mono);
        p.setPen(QColor(240, 240, 240));
        p.drawText(band.adjusted(10, 6, -10, -kMessageHeight / 2), Qt::AlignLeft | Qt::AlignVCenter,
                   m.last);
        p.setPen(QColor(255, 220, 90));
        p.drawText(band.adjusted(10, kMessageHeight / 2, -10, -6), Qt::AlignLeft | Qt::AlignVCenter,
                   m.input);
    }
}

bool GameWindow::steerKey(int key, bool down) {
    switch (key) {
        case Qt::Key_Up:
            game_.setKey(Game::Key::Up, down);
            return true;
        case Qt::Key_Down:
            game_.setKey(Game::Key::Down, down);
            return true;
        case Qt::Key_Left:
            game_.setKey(Game::Key::Left, down);
            return true;
        case Qt::Key_Right:
            game_.setKey(Game::Key::Right, down);
            return true;
        default:
            return false;
    }
}

void GameWindow::keyPressEvent(QKeyEvent* event) {
    if (steerKey(event->key(), true)) {
        return;
    }
    if (event->isAutoRepeat()) {
        return;
    }
    // Only keys that chat typing never uses change the game's state (Enter only on the menu,
    // where nobody chats).
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (game_.mode() == Mode::Menu) {
                game_.startRace();
            }
            break;
        case Qt::Key_F2:
            game_.setAutopilot(!game_.autopilot());
            break;
        case Qt::Key_F9:
            if (game_.mode() == Mode::Race) {
                game_.pause();
            } else {
                game_.resume();
            }
            break;
        case Qt::Key_F10:
            game_.endRace();
            break;
        default:
            QWidget::keyPressEvent(event);
    }
}

void GameWindow::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat()) {
        return;
    }
    if (!steerKey(event->key(), false)) {
        QWidget::keyReleaseEvent(event);
    }
}

void GameWindow::focusOutEvent(QFocusEvent* event) {
    game_.releaseKeys();
    QWidget::focusOutEvent(event);
}

}  // namespace standin
