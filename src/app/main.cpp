#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <csignal>
#include <exception>

#include "app/app_icon.h"
#include "app/command_line.h"
#include "app/game_launch.h"
#include "app/quit_signals.h"
#include "app/raised_privileges.h"
#include "connect_wizard/session_address_dialog.h"
#include "main_window/frm_chat.h"
#include "platform/dx8/dx8_types.h"
#include "session/mod_dplay.h"
#include "ui_common/error_advice.h"

namespace {

QString describe(const std::exception& e) {
    if (const auto* dx = dynamic_cast<const dx8::DxError*>(&e)) {
        const QString code = dx8::hresultHex(dx->code());
        const QString what = QString::fromLocal8Bit(dx->what());
        return what == code ? QStringLiteral("Error ") + code
                            : QStringLiteral("Error ") + code + QStringLiteral(": ") + what;
    }
    return QString::fromLocal8Bit(e.what());
}

// Start-up failed: the player learns why, and nothing the start made is left behind.
int startupFailed(orvel::ModDplay& dx, const QString& reason) {
    qCritical("Orvel could not start: %s", qPrintable(reason));
    if (dx.dpPeer) {
        try {
            dx.dpPeer->UnRegisterMessageHandler();
        } catch (const std::exception&) {
            // The peer goes in a moment either way.
        }
    }
    dx.connectWizard.reset();
    dx.DropDirectXObjects();
    // Without a screen nobody could close the box, and the program would never end.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
        QMessageBox::critical(nullptr, QStringLiteral("Orvel"),
                              QStringLiteral("Orvel could not start.\n\n") + reason +
                                  QStringLiteral("\n\n") + orvel::startupAdvice());
    }
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const auto end = orvel::refuseRaisedPrivileges()) {
        return *end;
    }
    if (const auto end = orvel::checkCommandLine(argc, argv)) {
        return *end;
    }
    // Qt sees Orvel's part of the command line only; the game's own follows "--".
    orvel::GameLaunch game(argc, argv);
    int ownArgc = orvel::gameCommandStart(argc, argv);
    // Diagnostics stay quiet unless QT_LOGGING_RULES asks for them (it overrides this).
    QLoggingCategory::setFilterRules(QStringLiteral("orvel.*=false"));
    QApplication app(ownArgc, argv);
    // The window class (from the application name) is what docks match with the desktop
    // entry's StartupWMClass; the desktop file name does the same under Wayland.
    QApplication::setApplicationName(QStringLiteral("orvel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvel.Orvel"));
    QApplication::setWindowIcon(orvel::appIcon());
    dx8::setSessionAddressSource(std::make_shared<orvel::SessionAddressDialog>());
    if (const auto failed = game.start()) {
        return *failed;
    }

    int status = 0;
    orvel::ModDplay dx;
    {
        orvel::frmChat window(dx);
        orvel::QuitOnSignals quitOnSignals(&window, dx.connectWizard);
        game.whenEnded([&quitOnSignals] { quitOnSignals.endAsPlayer(); });
        quitOnSignals.alsoOnSignal([&game](int signal) {
            if (signal != SIGINT) {  // a terminal's Ctrl+C reaches the game by itself
                game.forward(signal);
            }
        });
        try {
            if (!window.Form_Load()) {
                return game.finalStatus(0);
            }
        } catch (const std::exception& e) {
            return game.finalStatus(startupFailed(dx, describe(e)));
        }
        window.show();
        qCDebug(lcStartup) << "main window shown";
        status = QApplication::exec();
    }
    // Whatever shutdown could not release goes before the application object does.
    dx.connectWizard.reset();
    dx.DropDirectXObjects();
    return game.finalStatus(dx.releaseFailed ? 1 : status);
}
