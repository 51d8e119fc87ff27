#pragma once

// The operating system's window and process services, as the game link uses them: find a
// top-level window by title, learn the process behind it and the foreground window, and open a
// process to read and write its memory one transfer at a time.
//
// The interface keeps the shape of the Windows calls it stands in for, so that the game link
// reads the same on every platform; each backend documents what it does where its platform
// differs. Everything runs on the caller's thread; no call blocks for long.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvel::os {

// A top-level window; 0 = none. On X11 it is the window's XID.
using WindowHandle = uint32_t;
// An open process; 0 = none (a failed open).
using ProcessHandle = intptr_t;

// Access rights for OpenProcess.
constexpr uint32_t PROCESS_VM_OPERATION = 0x0008;
constexpr uint32_t PROCESS_VM_READ = 0x0010;
constexpr uint32_t PROCESS_VM_WRITE = 0x0020;
constexpr uint32_t PROCESS_QUERY_INFORMATION = 0x0400;

// Page protections for VirtualProtectEx.
constexpr uint32_t PAGE_READONLY = 0x02;
constexpr uint32_t PAGE_READWRITE = 0x04;

// Why OpenProcess failed.
enum class OpenError {
    None,
    NoSuchProcess,  // the id names no (live) process
    AccessDenied,   // the process exists but we may not touch its memory
    Other,
};

class OsServices {
public:
    virtual ~OsServices() = default;

    // A top-level window whose whole title equals title, compared without regard to case; 0 if
    // there is none.
    virtual WindowHandle FindWindowA(const QString& title) = 0;
    // The id of the process that owns the window; 0 when the window is gone or its owner
    // cannot be told.
    virtual uint32_t GetWindowThreadProcessId(WindowHandle window) = 0;
    // The window that has the keyboard focus, as a top-level window; 0 if none.
    virtual WindowHandle GetForegroundWindow() = 0;

    // Opens the process for the given access; 0 on failure, with the reason in *error (when
    // given).
    virtual ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t processId,
                                      OpenError* error = nullptr) = 0;
    // Asks for the protection of [address, address + length). The previous protection goes to
    // *oldProtect (when given). True on success.
    virtual bool VirtualProtectEx(ProcessHandle process, uint32_t address, uint32_t length,
                                  uint32_t protection, uint32_t* oldProtect) = 0;
    // Copies length bytes; true only when all of them were transferred. *done (when given)
    // receives the number of bytes transferred. A failed read may leave destination partly
    // overwritten.
    virtual bool ReadProcessMemory(ProcessHandle process, uint32_t address, void* destination,
                                   size_t length, size_t* done) = 0;
    virtual bool WriteProcessMemory(ProcessHandle process, uint32_t address, const void* source,
                                    size_t length, size_t* done) = 0;
    virtual bool CloseHandle(ProcessHandle process) = 0;

    // ---- Beyond the Windows calls: what telling the game from a look-alike takes ----------------
    // Every top-level window whose whole title equals title (without regard to case), the one
    // FindWindowA would give first.
    virtual std::vector<WindowHandle> FindWindows(const QString& title) {
        const WindowHandle window = FindWindowA(title);
        return window != 0 ? std::vector<WindowHandle>{window} : std::vector<WindowHandle>{};
    }
    // What tells one run of a process from a later one that got the same id (on Linux its start
    // time); 0 when the process is gone or cannot be looked at.
    virtual uint64_t ProcessStartTime(uint32_t processId) { return processId != 0 ? 1 : 0; }
    // True when every byte of [address, address + length) is mapped in the process.
    virtual bool ProcessHasMapped(uint32_t /*processId*/, uint32_t /*address*/,
                                  uint32_t /*length*/) {
        return true;
    }
    // Takes the one claim on a process that Orvels on this machine share out among themselves.
    // A positive token on success; 0 while another program holds it; negative when no claim can
    // be kept safely here (the user has no private runtime folder). The claim lasts until
    // ReleaseClaim or this program's end.
    virtual intptr_t ClaimProcess(uint32_t processId, uint64_t /*startTime*/) {
        return processId != 0 ? 1 : 0;
    }
    virtual void ReleaseClaim(intptr_t /*token*/) {}
    // The user a process runs as, by name (by number when it has none), when that is not the
    // user this program runs as; empty for a process of our own user or one that is gone.
    virtual QString ProcessOtherUser(uint32_t /*processId*/) { return {}; }
    // The user this program runs as, by name (by number when it has none).
    virtual QString CurrentUser() { return {}; }

    // ---- Waiting for the game without asking all the time, and the game Orvel started -------
    // A descriptor that turns readable when the window system has news that may change what
    // FindWindows answers (a window made, gone, renamed, put into a frame); -1 when the backend
    // cannot tell or has such news already, and the caller must look (again) now. Fetched
    // afresh for every wait: it may change from one to the next.
    virtual int WindowNewsHandle() { return -1; }
    // Takes in what made that descriptor readable; true when FindWindows may now answer
    // differently.
    virtual bool TakeWindowNews() { return true; }
    // The process's parent; 0 when it is gone or cannot be told.
    virtual uint32_t ParentProcessId(uint32_t /*processId*/) { return 0; }
};

// The services the program uses: the platform's backend, or what setServices installed.
OsServices& services();
// Installs other services (tests install fakes or a backend bound to their own display);
// nullptr restores the platform's backend. Returns the previously installed services (nullptr
// for the platform's backend). The caller keeps ownership.
OsServices* setServices(OsServices* replacement);

// The platform's backend for this process, created on first use.
OsServices& platformServices();

}  // namespace orvel::os
