#pragma once

#include <QString>
#include <sys/types.h>

namespace orvel::testing {

// A private X server (Xvfb) on a display number it picks itself, for tests that need X11.
// Several can run at once; each is stopped when its object goes.
class XvfbDisplay {
public:
    // width x height x 24; "-nolisten tcp" so nothing but local clients can reach it.
    explicit XvfbDisplay(int width = 1280, int height = 800);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ok() const { return number_ >= 0; }
    // ":93"
    QString name() const { return QStringLiteral(":%1").arg(number_); }
    int number() const { return number_; }

private:
    pid_t pid_ = -1;
    int number_ = -1;
};

// True when the Xvfb program exists on this machine.
bool haveXvfb();

// One Xvfb shared by the whole test program, started on first use; empty when Xvfb is missing.
QString sharedDisplay();

}  // namespace orvel::testing
