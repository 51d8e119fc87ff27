#pragma once

// The connection wizard: a small window with four stacked pages that takes the player from the
// choice of service provider and player name to a joined or created session (or to waiting for a
// lobby launch). Start-up runs it once. While it runs it is the peer's event handler and hands
// every DirectPlay notification on to the callback (the race session) after its own work; once
// in a session it hands the peer over, so the callback is the peer's handler from then on. It
// serves waits and closes until the end.
//
// Its code is split by page:
//   dplay_connect.cpp         the frame: controls, pages, forwarding
//   dplay_connect_flow.cpp    the wizard's state: run loop, waits, close rules, the one join and
//                             the one hosting that the pages and a lobby launch share, and the
//                             peer's hand-over
//   dplay_connect_player.cpp  page 0, service provider and player name
//   dplay_connect_search.cpp  page 1, session search, expiry and join
//   dplay_connect_create.cpp  page 2, session creation
//   dplay_connect_lobby.cpp   page 3 and the lobby registration
//   dplay_connect_password.cpp  joining a session that asks for a password
//   dplay_connect_wait.cpp    the status line under the pages: what a search or join waits on

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dx8/directx8.h"
#include "platform/dx8/event_adapters.h"
#include "session/mod_dplay.h"

class QCheckBox;
class QEventLoop;
class QFrame;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace orvel {

class WaitStatus;

// One session found by the search; it is known by the instance GUID of its description.
struct SessionEntry {
    dx8::DPN_APPLICATION_DESC Desc;
    QString HostURL;    // the answering host, as the answer gave it
    QString DeviceURL;  // the local device the answer arrived on
    uint32_t LastSeen = 0;
};

class DPlayConnect : public QDialog,
                     public ConnectWizard,
                     public dx8::DirectPlay8EventForwarder,
                     public dx8::DirectPlay8LobbyEventAdapter {
    Q_OBJECT
public:
    static inline const QString kCaption = QStringLiteral("Kartova Multiplayer - v1.1");
    static inline const QString kLobbyEntry = QStringLiteral("Wait for Lobby Connection...");
    // After the line of a session in the list that asks for a password.
    static inline const QString kPasswordMark = QStringLiteral(" (password)");
    // A session silent for longer than this is taken off the list.
    static constexpr int32_t kSessionTimeoutMs = 2000;
    static constexpr int kExpireIntervalMs = 500;

    enum Page { ProviderPage = 0, SessionPage = 1, CreatePage = 2, LobbyPage = 3 };

    // Where the wizard is: one value, changed only by enter(). The page shown is not part of it.
    enum class State {
        Created,    // not started yet
        Choosing,   // running: a page waits for the player, or for a lobby connection
        Joining,    // running: a connect waits for its completion
        Cancelled,  // finished without a session: a cancel button or the close box
        InSession,  // finished in a session, joined or hosted (IsHost tells which)
        Unloaded,   // finished, and the window is gone for good
    };
    Q_ENUM(State)
    // The session search runs beside the pages and on through a join, so it has its own value.
    enum class Search {
        Off,      // not searching; an answer that comes anyway is listed
        Listing,  // searching, and every answer is listed
        Muted,    // searching, answers ignored: a join has taken its pick
        Stopped,  // not searching, answers ignored
    };
    Q_ENUM(Search)

    explicit DPlayConnect(QWidget* parent = nullptr);
    ~DPlayConnect() override;

    // ---- Public operations ------------------------------------------------------------------
    // The client variant: search and join only.
    bool StartClientConnectWizard(std::shared_ptr<dx8::DirectX8> oDX,
                                  std::shared_ptr<dx8::DirectPlay8Client> oDPC,
                                  const QString& sGuid, int32_t lMaxPlayers,
                                  dx8::DirectPlay8Event* oCallback, bool fAllowMigrateHost);
    bool StartConnectWizard(std::shared_ptr<dx8::DirectX8> oDX,
                            std::shared_ptr<dx8::DirectPlay8Peer> oDPP, const QString& sGuid,
                            int32_t lMaxPlayers, dx8::DirectPlay8Event* oCallback,
                            bool fAllowMigrateHost) override;
    void CloseForm(QObject* oForm) override;
    void DoSleep(int32_t lMilliSec) override;
    bool IsHost() const override { return isHost_; }
    QString SessionName() const override { return sessionName_; }
    QString UserName() const override { return userName_; }
    void GoUnload() override;
    void RegisterCallback(dx8::DirectPlay8Event* oCallback) { setForwardTarget(oCallback); }
    int32_t NumPlayers() const override { return maxPlayers_; }

    // ---- DirectPlay8Event, while the wizard runs: the wizard's own work, then the callback's
    // handler; the rest go straight on to the callback ----------------------------------------
    void DirectPlay8Event_AsyncOpComplete(dx8::DPNMSG_ASYNC_OP_COMPLETE& dpnotify,
                                          bool& fRejectMsg) override;
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& dpnotify,
                                          bool& fRejectMsg) override;
    void DirectPlay8Event_EnumHostsResponse(dx8::DPNMSG_ENUM_HOSTS_RESPONSE& dpnotify,
                                            bool& fRejectMsg) override;

    // ---- DirectPlay8LobbyEvent: only a launch's connect ---------------------------------------
    void DirectPlay8LobbyEvent_Connect(dx8::DPL_MESSAGE_CONNECT& dlNotify,
                                       bool& fRejectMsg) override;

    // ---- Controls (object names as their field names) ---------------------------------------
    std::array<QFrame*, 4> fraWiz{};
    // page 0
    QLabel* lblSP = nullptr;
    QListWidget* lstSP = nullptr;
    QLabel* lblUserName = nullptr;
    QLineEdit* txtUserName = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
    // page 1
    QLabel* lblGames = nullptr;
    QListWidget* lstGames = nullptr;  // item data (Qt::UserRole): index into Sessions
    QPushButton* cmdRefresh = nullptr;
    QPushButton* cmdJoin = nullptr;
    QPushButton* cmdCreate = nullptr;
    QPushButton* cmdCancelGame = nullptr;
    // page 2
    QLabel* lblGameName = nullptr;
    QLineEdit* txtGameName = nullptr;
    QLabel* lblUsers = nullptr;
    QLineEdit* txtUsers = nullptr;
    QGroupBox* fraOptions = nullptr;
    QCheckBox* chkMigrate = nullptr;
    QLabel* lblPassword = nullptr;
    QLineEdit* txtPassword = nullptr;  // hides what is typed; never saved
    QPushButton* cmdOkCreate = nullptr;
    QPushButton* cmdCancelCreate = nullptr;
    // page 3
    QLabel* lblLobby = nullptr;
    QPushButton* cmdCancelLobby = nullptr;

    QTimer* tmrExpire = nullptr;
    // Under the pages: what a search or a join waits on, empty while nothing is awaited.
    QLabel* lblStatus = nullptr;
    // Beside it, shown while the wait may be given up (coming back into a session).
    QPushButton* cmdCancelWait = nullptr;

    // ---- Handlers of the controls ------------------------------------------------------------
    void cmdOk_Click();
    void lstSP_DblClick();
    void cmdCancel_Click();
    void cmdRefresh_Click();
    void cmdJoin_Click();
    void lstGames_DblClick();
    void cmdCreate_Click();
    void cmdCancelGame_Click();
    void cmdOkCreate_Click();
    void cmdCancelCreate_Click();
    void cmdCancelLobby_Click();
    void tmrExpire_Timer();

    // ---- What the pages show and hold (read by tests; only the wizard writes it) --------------
    int currentPage() const;
    QPushButton* defaultButton() const { return defaultButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

    // The flags the pages' rules are written in, read off the state and the search.
    bool wizardDone() const { return state_ != State::Created && !running(); }
    bool allowUnload() const { return state_ == State::Unloaded; }
    int32_t searchState() const { return searching() ? 1 : 0; }
    bool stopListing() const { return search_ == Search::Muted || search_ == Search::Stopped; }
    bool connectDone() const { return lastConnect_.has_value(); }
    // A full session, a wrong password and a join the player gave up leave the wizard on page 1;
    // any other result ends it.
    bool connectOK() const {
        return connectDone() && *lastConnect_ != dx8::DPNERR_SESSIONFULL &&
               *lastConnect_ != dx8::DPNERR_INVALIDPASSWORD && !givenUp();
    }
    // Cancelled by the player, or failed after it: the player asked for nothing more of it.
    bool givenUp() const { return joinGivenUp_ && connectDone() && *lastConnect_ != dx8::DPN_OK; }

    dx8::DPNHANDLE enumHandle = 0;
    std::vector<SessionEntry> Sessions;
    int32_t lastSession = -1;
    std::shared_ptr<dx8::DirectPlay8Address> deviceAddress;
    std::shared_ptr<dx8::DirectPlay8LobbiedApplication> lobbyApp;
    dx8::DPNHANDLE lobbyConnection = 0;

    // ---- Seams -------------------------------------------------------------------------------
    // Millisecond tick count for the session expiry; tests replace it with a clock they move.
    std::function<uint32_t()> GetTickCount;
    // Makes the lobbied application; by default the root object's.
    std::function<std::shared_ptr<dx8::DirectPlay8LobbiedApplication>()> createLobbiedApplication;
    // Asks the player for a session's password (wrong: the last one given was refused); nothing
    // when the player cancels. By default a dialog (password_prompt.h).
    std::function<std::optional<QString>(const QString& sessionName, bool wrong)> askPassword;

    // The name of the logged-on user, as the operating system knows it.
    static QString LogonUserName();
    // The player name the first page offers: the last one used, else the logged-on user's.
    static QString StoredUserName();
    // The system's millisecond tick count (monotonic, wraps like a 32-bit counter).
    static uint32_t SystemTickCount();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Escape runs the page's cancel button, as the window system's cancel key does.
    void reject() override;

private:
    void buildControls();
    void buildProviderPage();
    void buildSessionPage();
    void buildCreatePage();
    void buildLobbyPage();

    bool RunWizard(std::shared_ptr<dx8::DirectX8> oDX, const QString& sGuid, int32_t lMaxPlayers,
                   dx8::DirectPlay8Event* oCallback, bool fAllowMigrateHost);
    void ShowPage(int n);
    void PrepareProviderPage(bool fAllowMigrateHost);
    void AcceptProviderPage();
    void ListSessionResponse(const dx8::DPNMSG_ENUM_HOSTS_RESPONSE& answer);
    void CreateSession(const QString& name, bool migrate, int32_t maxPlayers);
    void RegisterWithLobby(const QString& guid);
    // Hosts the session the lobby asked for, on our terms (description changed in place).
    void HostFromLobby(dx8::DirectPlay8Address& address, dx8::DPN_APPLICATION_DESC& description);
    void registerLobbyConnection(dx8::DPNHANDLE handle, int32_t flags);
    // The end of the wizard's lobby work: the connection given back, the interface closed.
    void endLobbyConnection();
    void closeLobbyApplication();
    void JoinSelectedSession();
    // Joins the listed session, asking for its password where it needs one, again after a wrong
    // one, until the player cancels.
    void joinAskingPassword(int index);
    void joinListedSession(const SessionEntry& entry, const QString& password);
    // The box for a lobby's join whose password the session refused.
    void tellWrongPassword(const QString& sessionName);
    void unloadWindow();
    // Started again soon after the program ended in a session without leaving it: back into
    // that session as the player it was, the wait shown under the first page (which waits too)
    // with a Cancel. False when there is no such session, it would not have us back or the
    // player gave up; the record is gone then and the pages go on as usual.
    bool comeBackFromRecord();

    // ---- The state and its changes (dplay_connect_flow.cpp) ---------------------------------
    void enter(State next);
    void setSearch(Search next);
    bool running() const { return state_ == State::Choosing || state_ == State::Joining; }
    bool searching() const { return search_ == Search::Listing || search_ == Search::Muted; }
    void stopSearch();
    // Gives the session the player's name, as joining and hosting both do first.
    void announcePlayer();
    // The one join: connects with desc to host through device and waits for the completion. A
    // completion other than "full" finishes the wizard as a player; "full" has been told already.
    // what names the session on the status line; empty: the host's address does.
    void joinSession(const dx8::DPN_APPLICATION_DESC& desc, const dx8::DirectPlay8Address* host,
                     const dx8::DirectPlay8Address* device, int32_t flags,
                     const QString& what = QString());
    // The one hosting: hosts desc on device as this player. Success finishes the wizard as host;
    // a failure is told and page 1 comes back.
    void hostSession(const dx8::DPN_APPLICATION_DESC& desc, const dx8::DirectPlay8Address* device,
                     int32_t flags);
    // Either way into a session: the outcome kept, the provider's address released, the peer
    // handed over, the window asked to close.
    void finish(bool asHost);
    // Makes the callback the peer's (or client's) handler in the wizard's place; with no callback
    // the peer is left without one.
    void handOverPeer();
    // A new address built from url.
    std::shared_ptr<dx8::DirectPlay8Address> addressAt(const QString& url) const;

    // Waits, keeping the windows alive, until done() holds. Every change of the state calls
    // wakeWaits(), so a wait costs nothing while nothing happens.
    void waitUntil(const std::function<bool()>& done);
    void wakeWaits();

    // Runs one page action; a platform failure it does not handle itself is shown to the player
    // and the page stays as it is.
    template <class Action>
    void pageAction(const QString& failureText, Action&& action);
    void reportFailure(const QString& failureText, const QString& detail,
                       std::optional<dx8::HRESULT> code = std::nullopt);

    // ---- The status line (dplay_connect_wait.cpp) ---------------------------------------------
    void buildStatusLine(QLayout* layout);
    // A search started; asksBefore is the address source's count of questions before it, so the
    // address the player gave (if asked) is told apart from a search of the network.
    void searchStarted(int asksBefore);
    // A search could not start: told in a box that names the address given.
    void searchFailed(dx8::HRESULT code, int asksBefore);
    void searchAnswered();
    // giveUp: what Cancel beside the line does; none, no Cancel.
    void joinWaitStarted(const QString& what, const dx8::DirectPlay8Address* host,
                         std::function<void()> giveUp);
    // Cancel on a join: the platform ends it, with DPNERR_USERCANCEL unless it is over already.
    void cancelJoin(dx8::DPNHANDLE handle);
    void waitEnded();

    int selectedIndex(const QListWidget* list) const;
    // The peer, else the client: what the wizard asks of either alike goes here.
    dx8::DirectPlay8Session* session() const {
        return peer_ ? static_cast<dx8::DirectPlay8Session*>(peer_.get()) : client_.get();
    }
    bool hasPeerOrClient() const { return session() != nullptr; }

    QStackedWidget* pages_ = nullptr;
    QPushButton* defaultButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;

    std::shared_ptr<dx8::DirectX8> root_;
    std::shared_ptr<dx8::DirectPlay8Peer> peer_;
    std::shared_ptr<dx8::DirectPlay8Client> client_;
    QString guid_;
    int32_t lMaxPlayers_ = 0;

    QString userName_;
    QString sessionName_;
    int32_t maxPlayers_ = 0;
    bool isHost_ = false;

    State state_ = State::Created;
    Search search_ = Search::Off;
    std::optional<dx8::HRESULT> lastConnect_;  // how the last connect completed, if it has
    bool comingBack_ = false;                  // the connect under way comes back from a record
    bool joinGivenUp_ = false;                 // the player pressed Cancel on the join under way
    dx8::DPNHANDLE registeredLobby_ = 0;       // the lobby connection registered with the platform

    std::vector<QEventLoop*> waits_;
    WaitStatus* waitStatus_ = nullptr;
};

}  // namespace orvel
