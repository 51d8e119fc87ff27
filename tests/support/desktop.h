#pragma once
// A private X desktop for tests: a bare Xvfb, Xvfb under the openbox window manager (which puts
// every window into a frame of its own), or Weston's headless compositor with its XWayland
// server (a Wayland desktop's X server, whose window manager keeps no client list).

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "xvfb.h"

namespace orvel::testing {

enum class Desktop { Bare, Openbox, Weston };

class XDesktop {
public:
    explicit XDesktop(Desktop kind = Desktop::Bare);
    ~XDesktop();
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    // True once the X server answers and, where there is one, the window manager runs.
    bool ok() const { return ok_; }
    // ":93"
    QString name() const { return name_; }
    Desktop kind() const { return kind_; }

private:
    bool startOpenbox();
    bool startWeston();

    Desktop kind_;
    std::unique_ptr<XvfbDisplay> xvfb_;
    QTemporaryDir runtime_;
    QProcess manager_;
    QString name_;
    bool ok_ = false;
};

// What this machine lacks to make such a desktop ("" when nothing), e.g. "openbox is not
// installed".
QString desktopMissing(Desktop kind);
// Where a test of that desktop must fail instead of skipping when it is missing: under CI, which
// installs every tool (scripts/install-deps), a missing one is a fault.
bool desktopRequired();

}  // namespace orvel::testing
