#pragma once

// The Linux backend of the window and process services: X11 windows through xcb, process
// memory through /proc/PID/mem.

#include <QByteArray>
#include <memory>

#include "platform/os/os_services.h"

namespace orvel::os {

namespace linux_backend {
class X11Windows;
}

class LinuxOsServices : public OsServices {
public:
    // display: an X display name; empty = $DISPLAY. The connection opens on first use.
    explicit LinuxOsServices(QByteArray display = {});
    ~LinuxOsServices() override;

    WindowHandle FindWindowA(const QString& title) override;
    uint32_t GetWindowThreadProcessId(WindowHandle window) override;
    WindowHandle GetForegroundWindow() override;

    ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t processId,
                              OpenError* error = nullptr) override;
    // Linux cannot change another process's page protections, and needs not: writes through
    // /proc/PID/mem reach read-only pages as well (the kernel forces them, as for a debugger).
    // So this changes nothing and only answers whether a write could land: true when the
    // process is open and every page of the range is mapped. A zero length covers no page and
    // succeeds on an open process. *oldProtect receives 0 (unknown).
    bool VirtualProtectEx(ProcessHandle process, uint32_t address, uint32_t length,
                          uint32_t protection, uint32_t* oldProtect) override;
    bool ReadProcessMemory(ProcessHandle process, uint32_t address, void* destination,
                           size_t length, size_t* done) override;
    bool WriteProcessMemory(ProcessHandle process, uint32_t address, const void* source,
                            size_t length, size_t* done) override;
    bool CloseHandle(ProcessHandle process) override;
    // Windows of the title, highest in the stacking first.
    std::vector<WindowHandle> FindWindows(const QString& title) override;
    // Start time in clock ticks since boot, from /proc/PID/stat.
    uint64_t ProcessStartTime(uint32_t processId) override;
    // From /proc/PID/maps.
    bool ProcessHasMapped(uint32_t processId, uint32_t address, uint32_t length) override;
    // An advisory lock on a file named after the process in the runtime folder.
    intptr_t ClaimProcess(uint32_t processId, uint64_t startTime) override;
    void ReleaseClaim(intptr_t token) override;
    // From the real user id in /proc/PID/status.
    QString ProcessOtherUser(uint32_t processId) override;
    QString CurrentUser() override;
    // The X connection's descriptor: creations, destructions and reparenting of top-level
    // windows and of the frames' children, and changes of titles and of the window manager's
    // client list.
    int WindowNewsHandle() override;
    bool TakeWindowNews() override;
    // From /proc/PID/stat.
    uint32_t ParentProcessId(uint32_t processId) override;

private:
    std::unique_ptr<linux_backend::X11Windows> windows_;
};

}  // namespace orvel::os
