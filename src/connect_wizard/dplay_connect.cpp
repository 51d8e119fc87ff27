#include "connect_wizard/dplay_connect.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLoggingCategory>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "connect_wizard/dplay_connect_private.h"
#include "connect_wizard/password_prompt.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

Q_LOGGING_CATEGORY(lcWizard, "orvel.wizard", QtWarningMsg)

namespace orvel {

namespace {

// The caption suffix of each page, after kCaption.
constexpr std::array<const char*, 4> kPageSuffix = {
    " - Choose Protocol",
    " - Create or Join Session",
    " - Create Session",
    " - Wait for lobby connection",
};

}  // namespace

DPlayConnect::DPlayConnect(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DPlayConnect"));
    GetTickCount = &DPlayConnect::SystemTickCount;
    askPassword = [this](const QString& sessionName, bool wrong) {
        return askSessionPassword(this, sessionName, wrong);
    };
    buildControls();
    setWindowTitle(kCaption + QLatin1String(kPageSuffix[0]));

    tmrExpire = new QTimer(this);
    tmrExpire->setObjectName(QStringLiteral("tmrExpire"));
    tmrExpire->setInterval(kExpireIntervalMs);
    connect(tmrExpire, &QTimer::timeout, this, &DPlayConnect::tmrExpire_Timer);
    tmrExpire->start();
}

DPlayConnect::~DPlayConnect() {
    // A wait still running here would return into a destroyed object; there is none in a
    // regular run, because the wizard is dropped only after start-up has finished.
    for (QEventLoop* loop : waits_) {
        loop->exit();
    }
}

// ---- Controls ---------------------------------------------------------------------------------

void DPlayConnect::buildControls() {
    pages_ = new QStackedWidget(this);
    pages_->setObjectName(QStringLiteral("pages"));
    for (size_t i = 0; i < fraWiz.size(); ++i) {
        fraWiz[i] = new QFrame(pages_);
        fraWiz[i]->setObjectName(QStringLiteral("fraWiz%1").arg(i));
        pages_->addWidget(fraWiz[i]);
    }
    buildProviderPage();
    buildSessionPage();
    buildCreatePage();
    buildLobbyPage();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_, 1);
    buildStatusLine(layout);
    // At least as large as its largest page needs in the font in use, and wide enough that a
    // window manager shows each page's whole caption beside its title-bar buttons; the lists
    // take what the player adds.
    QFont titleFont = font();
    titleFont.setBold(true);
    const QFontMetrics title(titleFont);
    int widest = 0;
    for (const char* suffix : kPageSuffix) {
        widest = std::max(widest, title.horizontalAdvance(kCaption + QLatin1String(suffix)));
    }
    pages_->setMinimumWidth(widest + 8 * title.height());
    setMinimumSize(sizeHint());
    setSizeGripEnabled(true);
}

namespace {

QPushButton* makeButton(const QString& name, const QString& caption, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    return button;
}

QLabel* makeLabel(const QString& name, const QString& caption, QWidget* parent,
                  QWidget* buddy = nullptr) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    if (buddy != nullptr) {
        label->setBuddy(buddy);
    }
    return label;
}

// Buttons of a page sit at its bottom right, in a row.
QHBoxLayout* buttonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* b : buttons) {
        row->addWidget(b);
    }
    return row;
}

}  // namespace

void DPlayConnect::buildProviderPage() {
    QFrame* page = fraWiz[ProviderPage];
    lstSP = new QListWidget(page);
    lstSP->setObjectName(QStringLiteral("lstSP"));
    lstSP->setSelectionMode(QAbstractItemView::SingleSelection);
    lblSP = makeLabel(QStringLiteral("lblSP"), QStringLiteral("Select your ser&vice provider:"),
                      page, lstSP);
    txtUserName = new QLineEdit(page);
    txtUserName->setObjectName(QStringLiteral("txtUserName"));
    lblUserName = makeLabel(QStringLiteral("lblUserName"), QStringLiteral("&Player Name:"), page,
                            txtUserName);
    cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("OK"), page);
    cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), page);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lblSP);
    layout->addWidget(lstSP, 1);
    layout->addWidget(lblUserName);
    layout->addWidget(txtUserName);
    layout->addLayout(buttonRow({cmdOk, cmdCancel}));
    setTabOrder(lstSP, txtUserName);
    setTabOrder(txtUserName, cmdOk);
    setTabOrder(cmdOk, cmdCancel);

    connect(cmdOk, &QPushButton::clicked, this, &DPlayConnect::cmdOk_Click);
    connect(lstSP, &QListWidget::itemDoubleClicked, this, &DPlayConnect::lstSP_DblClick);
    connect(cmdCancel, &QPushButton::clicked, this, &DPlayConnect::cmdCancel_Click);
}

void DPlayConnect::buildSessionPage() {
    QFrame* page = fraWiz[SessionPage];
    lblGames = makeLabel(
        QStringLiteral("lblGames"),
        QStringLiteral("Click 'Start Search' to look for a session, or create one of your own."),
        page);
    lblGames->setWordWrap(true);
    lstGames = new QListWidget(page);
    lstGames->setObjectName(QStringLiteral("lstGames"));
    lstGames->setSelectionMode(QAbstractItemView::SingleSelection);
    cmdRefresh = makeButton(QStringLiteral("cmdRefresh"), QStringLiteral("S&tart Search"), page);
    cmdJoin = makeButton(QStringLiteral("cmdJoin"), QStringLiteral("&Join"), page);
    cmdCreate = makeButton(QStringLiteral("cmdCreate"), QStringLiteral("&Create"), page);
    cmdCancelGame = makeButton(QStringLiteral("cmdCancelGame"), QStringLiteral("Cancel"), page);
    // The search button's caption changes to "Stop Search"; it keeps one width for both.
    const QFontMetrics metrics = cmdRefresh->fontMetrics();
    const int captionWidth = std::max({metrics.horizontalAdvance(QStringLiteral("Start Search")),
                                       metrics.horizontalAdvance(QStringLiteral("Stop Search"))});
    cmdRefresh->setMinimumWidth(captionWidth + metrics.averageCharWidth() * 4);

    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {cmdRefresh, cmdJoin, cmdCreate}) {
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    buttons->addWidget(cmdCancelGame);
    auto* body = new QHBoxLayout;
    body->addWidget(lstGames, 1);
    body->addLayout(buttons);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lblGames);
    layout->addLayout(body, 1);

    connect(cmdRefresh, &QPushButton::clicked, this, &DPlayConnect::cmdRefresh_Click);
    connect(cmdJoin, &QPushButton::clicked, this, &DPlayConnect::cmdJoin_Click);
    connect(lstGames, &QListWidget::itemDoubleClicked, this, &DPlayConnect::lstGames_DblClick);
    connect(cmdCreate, &QPushButton::clicked, this, &DPlayConnect::cmdCreate_Click);
    connect(cmdCancelGame, &QPushButton::clicked, this, &DPlayConnect::cmdCancelGame_Click);
}

void DPlayConnect::buildCreatePage() {
    QFrame* page = fraWiz[CreatePage];
    txtGameName = new QLineEdit(page);
    txtGameName->setObjectName(QStringLiteral("txtGameName"));
    lblGameName = makeLabel(QStringLiteral("lblGameName"),
                            QStringLiteral("Please enter the session &name"), page, txtGameName);
    txtUsers = new QLineEdit(page);
    txtUsers->setObjectName(QStringLiteral("txtUsers"));
    lblUsers = makeLabel(QStringLiteral("lblUsers"),
                         QStringLiteral("N&umber of players in this session:"), page, txtUsers);
    fraOptions = new QGroupBox(QStringLiteral("Extra Session Options"), page);
    fraOptions->setObjectName(QStringLiteral("fraOptions"));
    chkMigrate = new QCheckBox(QStringLiteral("Migrate &Host"), fraOptions);
    chkMigrate->setObjectName(QStringLiteral("chkMigrate"));
    auto* options = new QVBoxLayout(fraOptions);
    options->addWidget(chkMigrate);
    txtPassword = new QLineEdit(fraOptions);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    txtPassword->setEchoMode(QLineEdit::Password);
    txtPassword->setMaxLength(static_cast<int>(dx8::kMaxPasswordChars));
    lblPassword =
        makeLabel(QStringLiteral("lblPassword"),
                  QStringLiteral("Pass&word (blank: anyone may join):"), fraOptions, txtPassword);
    options->addWidget(lblPassword);
    options->addWidget(txtPassword);
    cmdOkCreate = makeButton(QStringLiteral("cmdOkCreate"), QStringLiteral("OK"), page);
    cmdCancelCreate = makeButton(QStringLiteral("cmdCancelCreate"), QStringLiteral("Cancel"), page);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lblGameName);
    layout->addWidget(txtGameName);
    layout->addWidget(lblUsers);
    layout->addWidget(txtUsers);
    layout->addWidget(fraOptions);
    layout->addStretch(1);
    layout->addLayout(buttonRow({cmdOkCreate, cmdCancelCreate}));

    connect(cmdOkCreate, &QPushButton::clicked, this, &DPlayConnect::cmdOkCreate_Click);
    connect(cmdCancelCreate, &QPushButton::clicked, this, &DPlayConnect::cmdCancelCreate_Click);
}

void DPlayConnect::buildLobbyPage() {
    QFrame* page = fraWiz[LobbyPage];
    lblLobby =
        makeLabel(QStringLiteral("lblLobby"), QStringLiteral("Waiting for lobby connection"), page);
    lblLobby->setAlignment(Qt::AlignCenter);
    cmdCancelLobby = makeButton(QStringLiteral("cmdCancelLobby"), QStringLiteral("Cancel"), page);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    layout->addWidget(lblLobby);
    layout->addStretch(1);
    layout->addLayout(buttonRow({cmdCancelLobby}));

    connect(cmdCancelLobby, &QPushButton::clicked, this, &DPlayConnect::cmdCancelLobby_Click);
}

int DPlayConnect::currentPage() const {
    return pages_->currentIndex();
}

int DPlayConnect::selectedIndex(const QListWidget* list) const {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

// ---- Public operations ------------------------------------------------------------------------

bool DPlayConnect::StartClientConnectWizard(std::shared_ptr<dx8::DirectX8> oDX,
                                            std::shared_ptr<dx8::DirectPlay8Client> oDPC,
                                            const QString& sGuid, int32_t lMaxPlayers,
                                            dx8::DirectPlay8Event* oCallback,
                                            bool fAllowMigrateHost) {
    client_ = std::move(oDPC);
    peer_.reset();
    cmdCreate->setVisible(false);
    return RunWizard(std::move(oDX), sGuid, lMaxPlayers, oCallback, fAllowMigrateHost);
}

bool DPlayConnect::StartConnectWizard(std::shared_ptr<dx8::DirectX8> oDX,
                                      std::shared_ptr<dx8::DirectPlay8Peer> oDPP,
                                      const QString& sGuid, int32_t lMaxPlayers,
                                      dx8::DirectPlay8Event* oCallback, bool fAllowMigrateHost) {
    peer_ = std::move(oDPP);
    client_.reset();
    cmdCreate->setVisible(true);
    return RunWizard(std::move(oDX), sGuid, lMaxPlayers, oCallback, fAllowMigrateHost);
}

void DPlayConnect::ShowPage(int n) {
    pages_->setCurrentIndex(n);
    auto makeDefault = [this](QPushButton* button) {
        if (defaultButton_ != nullptr && defaultButton_ != button) {
            defaultButton_->setDefault(false);
        }
        defaultButton_ = button;
        button->setDefault(true);
    };
    switch (n) {
        case ProviderPage:
            makeDefault(cmdOk);
            cancelButton_ = cmdCancel;
            break;
        case SessionPage:
            // The page has no default button of its own; the previous one stays assigned.
            cancelButton_ = cmdCancelGame;
            break;
        case CreatePage:
            makeDefault(cmdOkCreate);
            cancelButton_ = cmdCancelCreate;
            txtGameName->setFocus();
            break;
        case LobbyPage:
            makeDefault(cmdCancelLobby);
            cancelButton_ = cmdCancelLobby;
            cmdCancelLobby->setFocus();
            break;
        default:
            break;
    }
    setWindowTitle(kCaption + QLatin1String(kPageSuffix[static_cast<size_t>(n)]));
    qCDebug(lcWizard) << "page" << n;
}

void DPlayConnect::reject() {
    if (cancelButton_ != nullptr && cancelButton_->isVisible() && cancelButton_->isEnabled()) {
        cancelButton_->click();
    }
}

void DPlayConnect::CloseForm(QObject* oForm) {
    auto* window = qobject_cast<QWidget*>(oForm);
    if (window == nullptr) {
        return;
    }
    // Queued: the close runs once the caller's handler has returned to the event loop.
    QMetaObject::invokeMethod(
        window, [window] { window->close(); }, Qt::QueuedConnection);
}

void DPlayConnect::DoSleep(int32_t lMilliSec) {
    // The wait itself keeps handling window messages; afterwards whatever is pending runs once.
    if (lMilliSec > 0) {
        QEventLoop loop;
        QTimer::singleShot(lMilliSec, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QCoreApplication::processEvents();
}

// ---- Failures of page actions -----------------------------------------------------------------

void DPlayConnect::reportFailure(const QString& failureText, const QString& detail,
                                 std::optional<dx8::HRESULT> code) {
    qCDebug(lcWizard) << failureText << detail;
    MsgBox(this, failureText + QStringLiteral("  Error: ") + detail, QStringLiteral("Error"),
           QMessageBox::Critical, adviceFor(code.value_or(dx8::DPNERR_GENERIC)));
}

// ---- Event forwarding -------------------------------------------------------------------------

void DPlayConnect::DirectPlay8Event_AsyncOpComplete(dx8::DPNMSG_ASYNC_OP_COMPLETE& dpnotify,
                                                    bool& fRejectMsg) {
    if (dpnotify.AsyncOpHandle == enumHandle) {
        enumHandle = 0;
    }
    DirectPlay8EventForwarder::DirectPlay8Event_AsyncOpComplete(dpnotify, fRejectMsg);
}

void DPlayConnect::DirectPlay8Event_EnumHostsResponse(dx8::DPNMSG_ENUM_HOSTS_RESPONSE& dpnotify,
                                                      bool& fRejectMsg) {
    ListSessionResponse(dpnotify);
    searchAnswered();
    DirectPlay8EventForwarder::DirectPlay8Event_EnumHostsResponse(dpnotify, fRejectMsg);
}

// ---- Clock and user -----------------------------------------------------------------------------

uint32_t DPlayConnect::SystemTickCount() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace orvel
