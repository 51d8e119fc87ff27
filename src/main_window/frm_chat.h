#pragma once

// The main window: chat, roster, game-version choice and the 50 ms timer that drives the game
// link (resting while there is no game). It listens to the race session and shows what it tells
// (lines, players, the host, the session's end), and hands the keyboard notification to the
// in-game chat.
//
// Its code is split by concern:
//   frm_chat.cpp          creation, layout, the window's close, the in-game chat's notification
//   frm_chat_startup.cpp  Form_Load / Form_Unload
//   frm_chat_game.cpp     game checks, the "MX" check box, Timer1_Timer
//   frm_chat_chat.cpp     chat history, sending, whispering, roster lookup
//   frm_chat_roster.cpp   the race session's players, host and end as the window shows them

#include <QLoggingCategory>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dx8/input/directinput8.h"
#include "session/race_session.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace orvel {

namespace gamelink {
class RemoteCars;
class TickPacer;
}

class ChatHistoryBox;
class CarStateTick;
class InGameChat;
class ModDplay;

class frmChat : public QWidget, public dx8::DirectXEvent8, private RaceSession::Listener {
    Q_OBJECT
public:
    // The caption the window starts with; the host's gains " (HOST)".
    static inline const QString kCaption = QStringLiteral("Orvel");
    static inline const QString kHostMark = QStringLiteral(" (HOST)");

    // Creates the controls, listens to the race session and starts Timer1 (the game link runs
    // from here on). objects outlives the window.
    explicit frmChat(ModDplay& objects, QWidget* parent = nullptr);
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
    // The race session's name for the player (oneself under 0, as the roster marks it).
    QString PlayerNameFromId(uint32_t id);
    void txtSend_KeyPress(int16_t& KeyAscii);
    void cmdWhisper_Click();

    // ---- DirectXEvent8: handed to the in-game chat ------------------------------------------
    void DirectXEvent8_DXCallback(int32_t eventid) override;

    // The objects start-up creates and shutdown releases, the race session among them.
    ModDplay& modDplay;

    // ---- Controls (public, as the window's controls are to the rest of the program) ---------
    ChatHistoryBox* txtChat = nullptr;
    QLineEdit* txtSend = nullptr;
    QListWidget* lstUsers = nullptr;  // item data (Qt::UserRole): the player id, 0 for oneself
    QLabel* lblSession = nullptr;     // the session's name and who hosts it
    QLabel* lblInternet = nullptr;    // how players on the internet reach this one
    QPushButton* cmdWhisper = nullptr;
    QGroupBox* fraGameVersion = nullptr;
    QCheckBox* mx = nullptr;
    QTimer* Timer1 = nullptr;
    QLabel* lblGameStatus = nullptr;  // the game link's state, beside "Game Version"

    // ---- State ------------------------------------------------------------------------------
    QString lastChatLine;     // the last line given to AddChatLine, unchanged
    QString localPlayerName;  // the wizard's UserName

    // The car-state tick of the game link (owns gameDetected).
    CarStateTick& tick() { return *tick_; }
    // Rests Timer1 while there is no game, until the window system has news of one.
    gamelink::TickPacer& pacer() { return *pacer_; }
    // The in-game chat (owns gameChatOpen and gameChatText).
    InGameChat& ingame() { return *ingame_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    // The chat history takes what the window gains over its first size; the rest follows it.
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    // ---- RaceSession::Listener: lines, players, the host and the end as this window shows
    // them; car states go to the game link, which listens itself -----------------------------
    void onChatLine(dx8::DPNID sender, const QString& senderName, const QString& text) override;
    void onWhisper(dx8::DPNID sender, const QString& senderName, const QString& text) override;
    void onChatSent(const QString& text) override;
    void onPlayerJoined(const SessionPlayer& player) override;
    void onPlayerLeft(const SessionPlayer& player) override;
    void onGameChanged(const SessionPlayer& player) override;
    void onHostChanged(const SessionPlayer& host) override;
    void onSessionEnded(dx8::HRESULT code) override;
    void onConnectFailed(dx8::HRESULT code) override;
    void onComingBack() override;
    void setMxChecked(bool checked);  // runs mx_Click when the value changes
    // Asks the wizard to close this window once the current handler has returned, so that the
    // program ends through the ordinary shutdown.
    void requestClose();
    // Shows how others join and where this player is seen from the internet, and starts the
    // roster's round trips.
    void watchInternet(bool hosting);
    void showReachability();
    // The session's name and who hosts it, under the game's line.
    void showSession();
    void refreshRoster();
    // Sets an entry's text from its player's name, game and path.
    void showRosterEntry(QListWidgetItem* entry);
    static constexpr int kRttRole = Qt::UserRole + 1;      // last round trip in ms
    static constexpr int kRelayedRole = Qt::UserRole + 2;  // the player's data is relayed
    QTimer* rosterTimer_ = nullptr;
    bool hosting_ = false;

    // Where a control stands at the window's first size (in twips), and how it follows a
    // larger window.
    enum Follow : uint8_t { Stays = 0, Wider = 1, Taller = 2, Right = 4, Down = 8 };
    struct Placement {
        QWidget* widget;
        int left, top, width, height;
        int follow;
    };
    std::vector<Placement> placements_;
    double scale_ = 1.0;
    int px(int twips) const;

    std::unique_ptr<gamelink::RemoteCars> remoteCars_;
    std::unique_ptr<CarStateTick> tick_;
    std::unique_ptr<gamelink::TickPacer> pacer_;
    std::unique_ptr<InGameChat> ingame_;
    bool unloaded_ = false;
};

}  // namespace orvel
