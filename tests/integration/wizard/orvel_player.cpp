#include "orvel_player.h"

#include <xcb/xcb.h>

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTextStream>
#include <QThread>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifndef ORVEL_PROGRAM
#error "ORVEL_PROGRAM must name the orvel program"
#endif

namespace wizard_it {

Player::Player(QString name, orvel::testing::Desktop desktop)
    : name_(std::move(name)), display_(desktop) {
    process_.setReads(orvel::testing::ChildProcess::Reads::Stderr);
    process_.setEnv(QStringLiteral("DISPLAY"), display_.name());
    process_.setEnv(QStringLiteral("XDG_CONFIG_HOME"), config_.path());
    process_.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process_.setEnv(QStringLiteral("QT_LOGGING_RULES"),
                    QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                   "orvel.session.debug=true"));
    // Discovery stays on this machine's loopback.
    process_.loopbackOnly();
}

Player::~Player() {
    process_.kill();
}

void Player::presetSettings(const QMap<QString, QString>& values) {
    QDir(config_.path()).mkpath(QStringLiteral("Orvel"));
    QFile file(config_.path() + QStringLiteral("/Orvel/VBDirectPlay.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return;
    }
    QTextStream out(&file);
    out << "[Defaults]\n";
    for (auto it = values.begin(); it != values.end(); ++it) {
        out << it.key() << "=\"" << it.value() << "\"\n";
    }
}

bool Player::start() {
    return process_.start(QStringLiteral(ORVEL_PROGRAM), args_);
}

QString Player::log() {
    return process_.text();
}

QRegularExpressionMatch Player::waitLog(const QRegularExpression& re, int timeoutMs) {
    return process_.waitText(re, timeoutMs);
}

QStringList Player::startupSteps() {
    QStringList steps;
    const QString prefix = QStringLiteral("orvel.startup: ");
    for (const QString& line : log().split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix)) {
            steps << line.mid(prefix.size());
        }
    }
    return steps;
}

QString Player::xdotool(const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display_.name());
    return QString::fromLocal8Bit(
               orvel::testing::runToEnd(QStringLiteral("xdotool"), args, env, 10000).out)
        .trimmed();
}

QStringList Player::windows(const QString& titleRegex) {
    const QString out = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--name"), titleRegex});
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString Player::waitWindow(const QString& titleRegex, int timeoutMs) {
    QStringList found;
    orvel::testing::waitUntil([&] { return !(found = windows(titleRegex)).isEmpty(); }, timeoutMs);
    return found.value(0);
}

bool Player::waitNoWindow(const QString& titleRegex, int timeoutMs) {
    return orvel::testing::waitUntil([&] { return windows(titleRegex).isEmpty(); }, timeoutMs);
}

void Player::focus(const QString& window) {
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    // Qt marks the window active once the focus event has arrived.
    QThread::msleep(static_cast<unsigned long>(orvel::testing::scaledMs(150)));
}

void Player::key(const QString& keys) {
    xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60"), keys});
    // A button's access key clicks it after a short animation.
    QThread::msleep(static_cast<unsigned long>(orvel::testing::scaledMs(250)));
}

void Player::type(const QString& text) {
    xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text});
}

bool Player::closeWindow(const QString& window) {
    bool ok = false;
    const uint32_t id = window.toUInt(&ok);
    if (!ok) {
        return false;
    }
    xcb_connection_t* c = xcb_connect(display_.name().toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    auto intern = [c](const char* name) {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
            &std::free);
        return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    };
    xcb_client_message_event_t event;
    std::memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = id;
    event.type = intern("WM_PROTOCOLS");
    event.data.data32[0] = intern("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    // Checked, so the server has taken the request before the connection goes: a request that
    // is merely flushed can be lost with the disconnect on a busy machine.
    const xcb_void_cookie_t cookie = xcb_send_event_checked(c, 0, id, XCB_EVENT_MASK_NO_EVENT,
                                                            reinterpret_cast<const char*>(&event));
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    const bool sent = error == nullptr;
    std::free(error);
    xcb_disconnect(c);
    return sent;
}

std::optional<int> Player::waitExit(int timeoutMs) {
    return process_.waitExit(timeoutMs);
}

bool Player::toSessionsPage() {
    const QString wizard = waitWindow(kChoose);
    if (wizard.isEmpty()) {
        return false;
    }
    focus(wizard);
    key(QStringLiteral("Return"));
    return !waitWindow(kSessions).isEmpty();
}

int Player::hostWithPresets() {
    if (!toSessionsPage()) {
        return 0;
    }
    key(QStringLiteral("alt+c"));
    if (waitWindow(kCreate).isEmpty()) {
        return 0;
    }
    key(QStringLiteral("Return"));
    const auto hosting = waitLog(QRegularExpression(QStringLiteral("hosting .* on port (\\d+)")));
    if (!hosting.hasMatch() || waitWindow(kMainHost).isEmpty()) {
        return 0;
    }
    return hosting.captured(1).toInt();
}

}  // namespace wizard_it
