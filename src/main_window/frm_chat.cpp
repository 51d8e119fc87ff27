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
#include <cmath>

#include "game_link/car_state_tick.h"
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
      tick_(std::make_unique<CarStateTick>(objects.raceSession)),
      ingame_(std::make_unique<InGameChat>(objects, objects.raceSession,
                                           [this] { return lastChatLine; })) {
    buildControls();
    followSession();
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
    modDplay.raceSession.forgetCallbacks();
}

void frmChat::DirectXEvent8_DXCallback(int32_t eventid) {
    ingame_->DirectXEvent8_DXCallback(eventid);
}

void frmChat::buildControls() {
    const double scale = std::max(1.0, fontMetrics().height() / kDesignLineHeight);
    auto px = [scale](int twips) {
        return static_cast<int>(std::lround(twips / kTwipsPerPixel * scale));
    };
    auto place = [&](QWidget* w, int left, int top, int width, int height) {
        w->setGeometry(px(left), px(top), px(width), px(height));
    };

    txtChat = new ChatHistoryBox(this);
    txtChat->setObjectName(QStringLiteral("txtChat"));
    place(txtChat, 60, 60, 5595, 4635);

    txtSend = new QLineEdit(this);
    txtSend->setObjectName(QStringLiteral("txtSend"));
    place(txtSend, 60, 4740, 5595, 285);
    txtSend->installEventFilter(this);

    lstUsers = new QListWidget(this);
    lstUsers->setObjectName(QStringLiteral("lstUsers"));
    place(lstUsers, 5760, 120, 1815, 4545);

    cmdWhisper = new QPushButton(QStringLiteral("Whisper"), this);
    cmdWhisper->setObjectName(QStringLiteral("cmdWhisper"));
    place(cmdWhisper, 5820, 4740, 1695, 255);
    connect(cmdWhisper, &QPushButton::clicked, this, &frmChat::cmdWhisper_Click);

    fraGameVersion = new QGroupBox(QStringLiteral("Game Version"), this);
    fraGameVersion->setObjectName(QStringLiteral("fraGameVersion"));
    place(fraGameVersion, 60, 5130, 1815, 555);
    mx = new QCheckBox(QStringLiteral("MX"), fraGameVersion);
    mx->setObjectName(QStringLiteral("mx"));
    mx->setGeometry(px(120), px(240), px(1500), px(255));
    // A click and a change of value made by the program both run the click handling.
    connect(mx, &QCheckBox::toggled, this, [this] { mx_Click(); });

    lblGameStatus = new QLabel(this);
    lblGameStatus->setObjectName(QStringLiteral("lblGameStatus"));
    lblGameStatus->setWordWrap(true);
    lblGameStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblGameStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    place(lblGameStatus, 1935, 5130, 5640, 555);

    // The host's line for players on the internet takes a row of its own under the others; the
    // window grows by it only while it is shown.
    lblInternet = new QLabel(this);
    lblInternet->setObjectName(QStringLiteral("lblInternet"));
    lblInternet->setWordWrap(true);
    lblInternet->setTextInteractionFlags(Qt::TextSelectableByMouse);
    place(lblInternet, 60, 5745, 7515, 495);
    lblInternet->hide();
    heightWithInternet_ = px(6300);

    heightWithoutInternet_ = px(5790);
    setFixedSize(px(7680), heightWithoutInternet_);
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
