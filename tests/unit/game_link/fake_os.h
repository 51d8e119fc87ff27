#pragma once

// A window system and process memory in a box: windows with titles and owners, processes with
// mapped byte ranges, and a log of every call the game link makes.

#include <unistd.h>

#include <QString>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/game_lineage.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "platform/os/os_services.h"

namespace orvel::testing {

class FakeOs : public os::OsServices {
public:
    enum class Kind { Find, Owner, Foreground, Open, Protect, Read, Write, Close };
    struct Call {
        Call(Kind k, os::ProcessHandle h = 0) : kind(k), handle(h) {}
        Kind kind;
        os::ProcessHandle handle = 0;
        uint32_t pid = 0;
        uint32_t address = 0;
        size_t length = 0;
        uint32_t protection = 0;
        std::vector<uint8_t> data;  // what a write carried
    };
    struct Window {
        uint32_t handle;
        QString title;
        uint32_t pid;
    };
    struct Region {
        uint32_t start;
        std::vector<uint8_t> bytes;
    };
    struct Process {
        std::vector<Region> regions;
        bool denied = false;
    };

    std::vector<Window> windows;
    uint32_t foreground = 0;
    std::map<uint32_t, Process> processes;
    std::vector<Call> calls;
    std::map<uint32_t, uint64_t> startTimes;  // of live processes; 1 unless set
    std::set<uint32_t> impostors;             // show the title without the game's memory
    std::set<uint32_t> heldElsewhere;         // games another Orvel holds
    std::set<uint32_t> unclaimable;           // no private runtime folder for their claims
    std::map<uint32_t, QString> otherUsers;   // processes of users other than this program's

    // ---- Set-up helpers ----
    void addWindow(uint32_t handle, const QString& title, uint32_t pid) {
        windows.push_back({handle, title, pid});
    }
    void removeWindows() { windows.clear(); }
    Process& addProcess(uint32_t pid) { return processes[pid]; }
    void map(uint32_t pid, uint32_t start, size_t length, uint8_t fill = 0) {
        processes[pid].regions.push_back({start, std::vector<uint8_t>(length, fill)});
    }
    // Pointer to the byte at address in pid's memory, or nullptr when unmapped.
    uint8_t* at(uint32_t pid, uint32_t address) {
        auto p = processes.find(pid);
        if (p == processes.end()) {
            return nullptr;
        }
        for (Region& r : p->second.regions) {
            if (address >= r.start && address - r.start < r.bytes.size()) {
                return &r.bytes[address - r.start];
            }
        }
        return nullptr;
    }
    void poke(uint32_t pid, uint32_t address, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            *at(pid, address + static_cast<uint32_t>(i)) = bytes[i];
        }
    }
    void pokeFloat(uint32_t pid, uint32_t address, float v) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        poke(pid, address, {b[0], b[1], b[2], b[3]});
    }
    void pokeLong(uint32_t pid, uint32_t address, int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        poke(pid, address, {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)});
    }
    std::vector<uint8_t> peek(uint32_t pid, uint32_t address, size_t n) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(*at(pid, address + static_cast<uint32_t>(i)));
        }
        return out;
    }

    std::vector<Call> callsOf(Kind kind) const {
        std::vector<Call> out;
        for (const Call& c : calls) {
            if (c.kind == kind) {
                out.push_back(c);
            }
        }
        return out;
    }
    std::vector<Kind> kinds() const {
        std::vector<Kind> out;
        for (const Call& c : calls) {
            out.push_back(c.kind);
        }
        return out;
    }
    size_t openHandles() const { return open_.size(); }

    // ---- OsServices ----
    os::WindowHandle FindWindowA(const QString& title) override {
        calls.push_back({Kind::Find});
        for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
            if (it->title.compare(title, Qt::CaseInsensitive) == 0) {
                return it->handle;
            }
        }
        return 0;
    }
    uint32_t GetWindowThreadProcessId(os::WindowHandle window) override {
        calls.push_back({Kind::Owner});
        for (const Window& w : windows) {
            if (w.handle == window) {
                return w.pid;
            }
        }
        return 0;
    }
    os::WindowHandle GetForegroundWindow() override {
        calls.push_back({Kind::Foreground});
        return foreground;
    }
    os::ProcessHandle OpenProcess(uint32_t access, bool, uint32_t pid,
                                  os::OpenError* error) override {
        Call c{Kind::Open};
        c.pid = pid;
        c.protection = access;
        calls.push_back(c);
        auto p = processes.find(pid);
        os::OpenError why = os::OpenError::None;
        os::ProcessHandle h = 0;
        if (pid == 0 || p == processes.end()) {
            why = os::OpenError::NoSuchProcess;
        } else if (p->second.denied) {
            why = os::OpenError::AccessDenied;
        } else {
            h = nextHandle_++;
            open_[h] = pid;
        }
        if (error != nullptr) {
            *error = why;
        }
        return h;
    }
    bool VirtualProtectEx(os::ProcessHandle h, uint32_t address, uint32_t length,
                          uint32_t protection, uint32_t* old) override {
        Call c{Kind::Protect, h};
        c.address = address;
        c.length = length;
        c.protection = protection;
        calls.push_back(c);
        if (old != nullptr) {
            *old = 0;
        }
        return open_.count(h) != 0;
    }
    bool ReadProcessMemory(os::ProcessHandle h, uint32_t address, void* destination, size_t length,
                           size_t* done) override {
        Call c{Kind::Read, h};
        c.address = address;
        c.length = length;
        calls.push_back(c);
        auto* out = static_cast<uint8_t*>(destination);
        size_t n = 0;
        if (open_.count(h) != 0) {
            // Copies up to the first unmapped byte, as a real partial read would.
            for (; n < length; ++n) {
                const uint8_t* b = at(open_[h], address + static_cast<uint32_t>(n));
                if (b == nullptr) {
                    break;
                }
                out[n] = *b;
            }
        }
        if (done != nullptr) {
            *done = n;
        }
        return open_.count(h) != 0 && n == length;
    }
    bool WriteProcessMemory(os::ProcessHandle h, uint32_t address, const void* source,
                            size_t length, size_t* done) override {
        Call c{Kind::Write, h};
        c.address = address;
        c.length = length;
        const auto* in = static_cast<const uint8_t*>(source);
        c.data.assign(in, in + length);
        calls.push_back(c);
        bool ok = open_.count(h) != 0;
        for (size_t n = 0; ok && n < length; ++n) {
            ok = at(open_[h], address + static_cast<uint32_t>(n)) != nullptr;
        }
        if (ok) {
            for (size_t n = 0; n < length; ++n) {
                *at(open_[h], address + static_cast<uint32_t>(n)) = in[n];
            }
        }
        if (done != nullptr) {
            *done = ok ? length : 0;
        }
        return ok;
    }
    bool CloseHandle(os::ProcessHandle h) override {
        calls.push_back({Kind::Close, h});
        return open_.erase(h) != 0;
    }
    // One Find call for the whole list, top first as FindWindowA's pick.
    std::vector<os::WindowHandle> FindWindows(const QString& title) override {
        calls.push_back({Kind::Find});
        std::vector<os::WindowHandle> out;
        for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
            if (it->title.compare(title, Qt::CaseInsensitive) == 0) {
                out.push_back(it->handle);
            }
        }
        return out;
    }
    uint64_t ProcessStartTime(uint32_t pid) override {
        if (processes.count(pid) == 0) {
            return 0;
        }
        return startTimes.count(pid) != 0 ? startTimes[pid] : 1;
    }
    bool ProcessHasMapped(uint32_t pid, uint32_t, uint32_t) override {
        return impostors.count(pid) == 0;
    }
    intptr_t ClaimProcess(uint32_t pid, uint64_t) override {
        if (heldElsewhere.count(pid) != 0 || unclaimable.count(pid) != 0) {
            return unclaimable.count(pid) != 0 ? -1 : 0;
        }
        claims.insert(pid);
        return pid;
    }
    void ReleaseClaim(intptr_t token) override { claims.erase(static_cast<uint32_t>(token)); }
    QString ProcessOtherUser(uint32_t pid) override {
        return otherUsers.count(pid) != 0 ? otherUsers[pid] : QString();
    }
    QString CurrentUser() override { return QStringLiteral("ann"); }
    std::set<uint32_t> claims;  // processes this Orvel holds

    // News of windows arrives on newsHandle (-1: none to be had); takes it in as news that
    // matters or not.
    int newsHandle = -1;
    bool newsMatters = true;
    int newsTaken = 0;
    int WindowNewsHandle() override { return newsHandle; }
    bool TakeWindowNews() override {
        char drained[64];
        while (::read(newsHandle, drained, sizeof drained) > 0) {
        }
        ++newsTaken;
        return newsMatters;
    }
    std::map<uint32_t, uint32_t> parents;  // process -> its parent
    uint32_t ParentProcessId(uint32_t pid) override {
        return parents.count(pid) != 0 ? parents[pid] : 0;
    }

private:
    os::ProcessHandle nextHandle_ = 100;
    std::map<os::ProcessHandle, uint32_t> open_;
};

// Installs a FakeOs for the lifetime of the object and resets the game link's module state.
class FakeOsScope {
public:
    FakeOsScope() : previous_(os::setServices(&os)) {
        Memory::gameWindow = 0;
        Memory::gameProcessId = 0;
        Memory::gameProcess = 0;
        Memory::memBytes.clear();
        Memory::memText.clear();
        Memory::memSingle = 0.0f;
        Memory::memLong = 0;
        Memory::memResult = 0;
        gameVersion = 0;
        gamelink::ForgetTickAnswer();
    }
    ~FakeOsScope() {
        // What the link holds goes back to this fake before the next test's.
        gamelink::ReleaseGame();
        gamelink::ForgetTickAnswer();
        gamelink::LinkOnlyToDescendantsOf(0);
        os::setServices(previous_);
    }
    FakeOs os;

private:
    os::OsServices* previous_;
};

}  // namespace orvel::testing
