#pragma once

// Passes every call on to a real backend and keeps a record of the process-memory ones.

#include <QString>
#include <vector>

#include "platform/os/os_services.h"

namespace orvel::testing {

class RecordingOs : public os::OsServices {
public:
    enum class Kind { Open, Protect, Read, Write };
    struct Call {
        Kind kind;
        uint32_t address;
        size_t length;
        std::vector<uint8_t> data;  // what a write carried
    };

    explicit RecordingOs(os::OsServices& real) : real_(real) {}
    std::vector<Call> calls;

    std::vector<Call> of(Kind kind) const {
        std::vector<Call> out;
        for (const Call& c : calls) {
            if (c.kind == kind) {
                out.push_back(c);
            }
        }
        return out;
    }

    os::WindowHandle FindWindowA(const QString& title) override { return real_.FindWindowA(title); }
    uint32_t GetWindowThreadProcessId(os::WindowHandle w) override {
        return real_.GetWindowThreadProcessId(w);
    }
    os::WindowHandle GetForegroundWindow() override { return real_.GetForegroundWindow(); }
    os::ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t pid,
                                  os::OpenError* error) override {
        calls.push_back({Kind::Open, 0, 0, {}});
        return real_.OpenProcess(access, inherit, pid, error);
    }
    bool VirtualProtectEx(os::ProcessHandle h, uint32_t address, uint32_t length,
                          uint32_t protection, uint32_t* old) override {
        calls.push_back({Kind::Protect, address, length, {}});
        return real_.VirtualProtectEx(h, address, length, protection, old);
    }
    bool ReadProcessMemory(os::ProcessHandle h, uint32_t address, void* destination, size_t length,
                           size_t* done) override {
        calls.push_back({Kind::Read, address, length, {}});
        return real_.ReadProcessMemory(h, address, destination, length, done);
    }
    bool WriteProcessMemory(os::ProcessHandle h, uint32_t address, const void* source,
                            size_t length, size_t* done) override {
        const auto* bytes = static_cast<const uint8_t*>(source);
        calls.push_back({Kind::Write, address, length, {bytes, bytes + length}});
        return real_.WriteProcessMemory(h, address, source, length, done);
    }
    bool CloseHandle(os::ProcessHandle h) override { return real_.CloseHandle(h); }
    std::vector<os::WindowHandle> FindWindows(const QString& title) override {
        return real_.FindWindows(title);
    }
    uint64_t ProcessStartTime(uint32_t pid) override { return real_.ProcessStartTime(pid); }
    bool ProcessHasMapped(uint32_t pid, uint32_t address, uint32_t length) override {
        return real_.ProcessHasMapped(pid, address, length);
    }
    intptr_t ClaimProcess(uint32_t pid, uint64_t startTime) override {
        return real_.ClaimProcess(pid, startTime);
    }
    void ReleaseClaim(intptr_t token) override { real_.ReleaseClaim(token); }
    QString ProcessOtherUser(uint32_t pid) override { return real_.ProcessOtherUser(pid); }
    QString CurrentUser() override { return real_.CurrentUser(); }

private:
    os::OsServices& real_;
};

}  // namespace orvel::testing
