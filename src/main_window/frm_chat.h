#pragma once

// The main window: chat, roster, game-version choice and the 50 ms timer that drives the game
// link. It receives the session's notifications (forwarded by the connection wizard) and the
// keyboard notification of the in-game chat.
//
// Its code is split by concern:
//   frm_chat.cpp          creation, layout, the window's close, the notifications it ignores
//   frm_chat_startup.cpp  Form_Load / Form_Unload
//   frm_chat_game.cpp     game checks, the "MX" check box, Timer1_Timer
//   frm_chat_chat.cpp     chat history, sending, whispering, roster lookup
//   frm_chat_roster.cpp   player, host and session notifications, message receipt
//   frm_chat_ingame.cpp   the in-game chat typed on the game's screen

#include <QLoggingCategory>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dx8/input/directinput8.h"
#include "platform/dx8/directplay8.h"
#include "platform/dx8/event_adapters.h"

// Chat lines, roster changes and session-end boxes, for diagnostics.
Q_DECLARE_LOGGING_CATEGORY(lcChat)

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace orvel {

class ChatHistoryBox;
class CarStateTick;

class frmChat : public QWidget, public dx8::DirectPlay8EventAdapter, public dx8::DirectXEvent8 {
    Q_OBJECT
public:
    // The caption the window starts with; the host's gains " (HOST)".
    static inline const QString kCaption = QStringLiteral("Orvel");
    static inline const QString kHostMark = QStringLiteral(" (HOST)");

    // Creates the controls and starts Timer1 (the game link runs from here on).
    explicit frmChat(QWidget* parent = nullptr);
    ~frmChat() override;

    // ---- Start-up and shutdown --------------------------------------------------------------
    // Start-up. Returns false when the player cancelled the connection wizard: everything has
    // then been released and the window must never be shown.
    bool Form_Load();
    // Shutdown, run once when the window closes.
    void Form_Unload();

    // ---- Game checks and the game link ------------------------------------------------------
    bool isRunning();
    bool isPlaying();
    bool isFocused();
    void Timer1_Timer();
    void mx_Click();
    // The status line under the chat: what the game link sees of the game.
    void showGameState();

    // ---- Chat -------------------------------------------------------------------------------
    void AddChatLine(QString line);
    QString PlayerNameFromId(uint32_t id);
    void txtSend_KeyPress(int16_t& KeyAscii);
    void cmdWhisper_Click();

    // ---- DirectPlay8Event: what the window handles; the rest are ignored --------------------
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify,
                                          bool& fRejectMsg) override;
    void DirectPlay8Event_CreatePlayer(dx8::DPNID lPlayerID, bool& fRejectMsg) override;
    void DirectPlay8Event_DestroyPlayer(dx8::DPNID lPlayerID, int32_t lReason,
                                        bool& fRejectMsg) override;
    void DirectPlay8Event_HostMigrate(dx8::DPNID lNewHostID, bool& fRejectMsg) override;
    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& dpnotify, bool& fRejectMsg) override;
    void DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& dpnotify,
                                           bool& fRejectMsg) override;

    // ---- DirectXEvent8: the in-game chat ----------------------------------------------------
    void DirectXEvent8_DXCallback(int32_t eventid) override;

    // ---- Controls (public, as the window's controls are to the rest of the program) ---------
    ChatHistoryBox* txtChat = nullptr;
    QLineEdit* txtSend = nullptr;
    QListWidget* lstUsers = nullptr;  // item data (Qt::UserRole): the player id, 0 for oneself
    static constexpr int kNameRole = Qt::UserRole + 1;  // the player's name, without round trip
    static QString entryName(const QListWidgetItem* entry);
    QLabel* lblInternet = nullptr;    // the host's line on joining from the internet
    int heightWithoutInternet_ = 0;
    int heightWithInternet_ = 0;
    QPushButton* cmdWhisper = nullptr;
    QGroupBox* fraGameVersion = nullptr;
    QCheckBox* mx = nullptr;
    QTimer* Timer1 = nullptr;
    QLabel* lblGameStatus = nullptr;  // the game link's state, beside "Game Version"

    // ---- State ------------------------------------------------------------------------------
    QString lastChatLine;     // the last line given to AddChatLine, unchanged
    QString localPlayerName;  // the wizard's UserName
    bool gameChatOpen = false;
    QString gameChatText;  // the in-game input line, prompt " >" included

    // The car-state tick of the game link (owns gameDetected).
    CarStateTick& tick() { return *tick_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setMxChecked(bool checked);  // runs mx_Click when the value changes
    // Asks the wizard to close this window once the current handler has returned, so that the
    // program ends through the ordinary shutdown.
    void requestClose();
    // Shows how others join (when hosting) and starts the roster's round trips.
    void watchInternet(bool hosting);
    void refreshRoster();
    QTimer* rosterTimer_ = nullptr;

    std::unique_ptr<CarStateTick> tick_;
    bool unloaded_ = false;
};

}  // namespace orvel
