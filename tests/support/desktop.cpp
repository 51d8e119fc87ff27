#include "desktop.h"

#include <xcb/xcb.h>

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cstdlib>
#include <cstring>

#include "wait.h"

namespace orvel::testing {

namespace {

// A window manager that runs names a window of its own on the root (EWMH).
bool managerRuns(const QString& display) {
    xcb_connection_t* c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    bool runs = false;
    if (xcb_connection_has_error(c) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        auto* atom = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        if (atom != nullptr && atom->atom != XCB_NONE) {
            auto* p = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            runs = p != nullptr && xcb_get_property_value_length(p) == 4;
            std::free(p);
        }
        std::free(atom);
    }
    xcb_disconnect(c);
    return runs;
}

}  // namespace

QString desktopMissing(Desktop kind) {
    const QStringList need = kind == Desktop::Weston    ? QStringList{"weston", "Xwayland"}
                             : kind == Desktop::Openbox ? QStringList{"Xvfb", "openbox"}
                                                        : QStringList{"Xvfb"};
    for (const QString& program : need) {
        if (QStandardPaths::findExecutable(program).isEmpty()) {
            return program + QStringLiteral(" is not installed");
        }
    }
    return QString();
}

bool desktopRequired() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::strcmp(ci, "0") != 0 &&
           std::strcmp(ci, "false") != 0;
}

XDesktop::XDesktop(Desktop kind) : kind_(kind) {
    manager_.setProcessChannelMode(QProcess::MergedChannels);
    if (!desktopMissing(kind).isEmpty()) {
        return;
    }
    if (kind == Desktop::Weston) {
        ok_ = startWeston();
        return;
    }
    xvfb_ = std::make_unique<XvfbDisplay>();
    if (!xvfb_->ok()) {
        return;
    }
    name_ = xvfb_->name();
    ok_ = kind == Desktop::Bare || startOpenbox();
}

XDesktop::~XDesktop() {
    if (manager_.state() != QProcess::NotRunning) {
        manager_.terminate();
        if (!manager_.waitForFinished(10000)) {
            manager_.kill();
            manager_.waitForFinished(5000);
        }
    }
}

bool XDesktop::startOpenbox() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), name_);
    manager_.setProcessEnvironment(env);
    manager_.setStandardOutputFile(QProcess::nullDevice());
    manager_.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
    return manager_.waitForStarted(scaledMs(10000)) &&
           waitUntil([this] { return managerRuns(name_); }, 20000);
}

bool XDesktop::startWeston() {
    if (!runtime_.isValid()) {
        return false;
    }
    QFile::setPermissions(runtime_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    manager_.setProcessEnvironment(env);
    const QString log = runtime_.filePath(QStringLiteral("weston.log"));
    manager_.start(QStringLiteral("weston"),
                   {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--xwayland"),
                    QStringLiteral("--no-config"), QStringLiteral("--idle-time=0"),
                    QStringLiteral("--socket=wayland-orvel-test"), QStringLiteral("--log=") + log});
    if (!manager_.waitForStarted(scaledMs(10000))) {
        return false;
    }
    // Weston picks the X display itself and says which in its log; XWayland starts on the
    // first client.
    const QRegularExpression listening(QStringLiteral("xserver listening on display (:\\d+)"));
    const bool said = waitUntil(
        [&] {
            QFile file(log);
            const auto m = file.open(QIODevice::ReadOnly)
                               ? listening.match(QString::fromUtf8(file.readAll()))
                               : QRegularExpressionMatch();
            if (m.hasMatch()) {
                name_ = m.captured(1);
            }
            return m.hasMatch() || manager_.state() == QProcess::NotRunning;
        },
        20000);
    return said && !name_.isEmpty() && waitUntil([this] { return managerRuns(name_); }, 20000);
}

}  // namespace orvel::testing
