#include "main_window/frm_chat.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "game_link/car_state_tick.h"
#include "game_link/remote_cars.h"
#include "game_link/tick_pacer.h"
#include "ingame_chat/ingame_chat.h"
#include "main_window/chat_history_box.h"
#include "session/mod_dplay.h"

namespace orvel {

namespace {

// The window's layout is given in twips; at 96 dpi a pixel is 15 twips. Everything is scaled
// with the font so that captions are never clipped by a font larger than the layout expects.
constexpr double kTwipsPerPixel = 15.0;
constexpr double kDesignLineHeight = 13.0;  // pixels of a line in the font the layout was made for

}  // namespace

frmChat::frmChat(ModDplay& objects, QWidget* parent)
    : QWidget(parent),
      modDplay(objects),
      remoteCars_(std::make_unique<gamelink::RemoteCars>()),
      tick_(std::make_unique<CarStateTick>(objects.raceSession)),
      ingame_(std::make_unique<InGameChat>(objects, objects.raceSession,
                                           [this] { return lastChatLine; })) {
    buildControls();
    objects.raceSession.addListener(this);
    objects.raceSession.addListener(remoteCars_.get());
    // The window keeps one input line: a line entered in the game takes the place of whatever is
    // drafted there, and like a line typed here it leaves the input empty once it has gone out.
    ingame_->onLineEntered([this](const QString& line) { txtSend->setText(line); });
    setWindowTitle(kCaption);
    tick_->setStateObserver([this](gamelink::GameState) { showGameState(); });
    showGameState();
    // The player types chat as soon as the window shows.
    txtSend->setFocus();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    // Every tick carries the local car to the others; a precise timer keeps two ticks one period
    // apart (a coarse one may stretch the gap by 5 %), so a change travels within one period.
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &frmChat::Timer1_Timer);
    Timer1->start();
    pacer_ = std::make_unique<gamelink::TickPacer>(Timer1);
}

frmChat::~frmChat() {
    // The session outlives the window; nothing may reach it from here on.
    modDplay.raceSession.removeListener(this);
    modDplay.raceSession.removeListener(remoteCars_.get());
}

void frmChat::DirectXEvent8_DXCallback(int32_t eventid) {
    ingame_->DirectXEvent8_DXCallback(eventid);
}

int frmChat::px(int twips) const {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel * scale_));
}

void frmChat::buildControls() {
    scale_ = std::max(1.0, fontMetrics().height() / kDesignLineHeight);

    txtChat = new ChatHistoryBox(this);
    txtChat->setObjectName(QStringLiteral("txtChat"));

    txtSend = new QLineEdit(this);
    txtSend->setObjectName(QStringLiteral("txtSend"));
    txtSend->installEventFilter(this);

    lstUsers = new QListWidget(this);
    lstUsers->setObjectName(QStringLiteral("lstUsers"));

    cmdWhisper = new QPushButton(QStringLiteral("Whisper"), this);
    cmdWhisper->setObjectName(QStringLiteral("cmdWhisper"));
    connect(cmdWhisper, &QPushButton::clicked, this, &frmChat::cmdWhisper_Click);

    fraGameVersion = new QGroupBox(QStringLiteral("Game Version"), this);
    fraGameVersion->setObjectName(QStringLiteral("fraGameVersion"));
    mx = new QCheckBox(QStringLiteral("MX"), fraGameVersion);
    mx->setObjectName(QStringLiteral("mx"));
    mx->setGeometry(px(120), px(240), px(1500), px(255));
    // A click and a change of value made by the program both run the click handling.
    connect(mx, &QCheckBox::toggled, this, [this] { mx_Click(); });

    auto label = [this](const QString& name) {
        auto* l = new QLabel(this);
        l->setObjectName(name);
        l->setWordWrap(true);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    lblGameStatus = label(QStringLiteral("lblGameStatus"));
    lblGameStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblSession = label(QStringLiteral("lblSession"));
    // Rows of their own under the others, kept whether or not they say anything, so that a
    // line coming or going never moves the window's controls.
    lblInternet = label(QStringLiteral("lblInternet"));
    lblInternet->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    placements_ = {
        {txtChat, 60, 60, 5595, 4635, Wider | Taller},
        {txtSend, 60, 4740, 5595, 285, Wider | Down},
        {lstUsers, 5760, 120, 1815, 4545, Right | Taller},
        {cmdWhisper, 5820, 4740, 1695, 255, Right | Down},
        {fraGameVersion, 60, 5130, 1815, 555, Down},
        {lblGameStatus, 1935, 5130, 5640, 555, Wider | Down},
        {lblSession, 60, 5745, 7515, 255, Wider | Down},
        {lblInternet, 60, 6030, 7515, 600, Wider | Down},
    };
    const QSize first(px(7680), px(6690));
    setMinimumSize(first);
    resize(first);
    for (const Placement& p : placements_) {
        p.widget->setGeometry(px(p.left), px(p.top), px(p.width), px(p.height));
    }
}

void frmChat::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int dw = std::max(0, width() - minimumWidth());
    const int dh = std::max(0, height() - minimumHeight());
    for (const Placement& p : placements_) {
        p.widget->setGeometry(px(p.left) + ((p.follow & Right) ? dw : 0),
                              px(p.top) + ((p.follow & Down) ? dh : 0),
                              px(p.width) + ((p.follow & Wider) ? dw : 0),
                              px(p.height) + ((p.follow & Taller) ? dh : 0));
    }
}

void frmChat::setMxChecked(bool checked) {
    mx->setChecked(checked);
}

bool frmChat::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtSend && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        int16_t keyAscii = 0;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            keyAscii = 13;
        } else if (!key->text().isEmpty()) {
            keyAscii = static_cast<int16_t>(key->text().at(0).unicode());
        }
        if (keyAscii != 0) {
            const int16_t typed = keyAscii;
            txtSend_KeyPress(keyAscii);
            if (keyAscii == 0 && typed != 0) {
                return true;  // the handler consumed the key
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmChat::closeEvent(QCloseEvent* event) {
    if (!unloaded_) {
        unloaded_ = true;
        Form_Unload();
    }
    event->accept();
}

}  // namespace orvel
