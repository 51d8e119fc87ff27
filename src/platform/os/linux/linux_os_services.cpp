#include "platform/os/linux/linux_os_services.h"

#include <cstdio>
#include <cstring>

#include "platform/os/linux/proc_memory.h"
#include "platform/os/linux/process_checks.h"
#include "platform/os/linux/x11_windows.h"

namespace orvel::os {

LinuxOsServices::LinuxOsServices(QByteArray display)
    : windows_(std::make_unique<linux_backend::X11Windows>(std::move(display))) {}

LinuxOsServices::~LinuxOsServices() = default;

WindowHandle LinuxOsServices::FindWindowA(const QString& title) {
    return windows_->findByTitle(title);
}

uint32_t LinuxOsServices::GetWindowThreadProcessId(WindowHandle window) {
    return windows_->ownerProcessId(window);
}

WindowHandle LinuxOsServices::GetForegroundWindow() {
    return windows_->foreground();
}

ProcessHandle LinuxOsServices::OpenProcess(uint32_t access, bool /*inherit*/, uint32_t processId,
                                           OpenError* error) {
    // The descriptor is opened close-on-exec, which is what "not inheritable" means here.
    return linux_backend::openProcessMemory(access, processId, error);
}

bool LinuxOsServices::VirtualProtectEx(ProcessHandle process, uint32_t address, uint32_t length,
                                       uint32_t /*protection*/, uint32_t* oldProtect) {
    if (oldProtect != nullptr) {
        *oldProtect = 0;
    }
    return linux_backend::protectProcessMemory(process, address, length);
}

bool LinuxOsServices::ReadProcessMemory(ProcessHandle process, uint32_t address, void* destination,
                                        size_t length, size_t* done) {
    return linux_backend::readProcessMemory(process, address, destination, length, done);
}

bool LinuxOsServices::WriteProcessMemory(ProcessHandle process, uint32_t address,
                                         const void* source, size_t length, size_t* done) {
    return linux_backend::writeProcessMemory(process, address, source, length, done);
}

bool LinuxOsServices::CloseHandle(ProcessHandle process) {
    return linux_backend::closeProcessMemory(process);
}

std::vector<WindowHandle> LinuxOsServices::FindWindows(const QString& title) {
    return windows_->findAllByTitle(title);
}

uint64_t LinuxOsServices::ProcessStartTime(uint32_t processId) {
    return linux_backend::processStartTime(processId);
}

bool LinuxOsServices::ProcessHasMapped(uint32_t processId, uint32_t address, uint32_t length) {
    return linux_backend::processHasMapped(processId, address, length);
}

intptr_t LinuxOsServices::ClaimProcess(uint32_t processId, uint64_t startTime) {
    return linux_backend::claimProcess(processId, startTime);
}

void LinuxOsServices::ReleaseClaim(intptr_t token) {
    linux_backend::releaseClaim(token);
}

QString LinuxOsServices::ProcessOtherUser(uint32_t processId) {
    const int64_t uid = linux_backend::processUserId(processId);
    if (uid < 0 || uid == linux_backend::currentUserId()) {
        return {};
    }
    return QString::fromStdString(linux_backend::userName(uid));
}

QString LinuxOsServices::CurrentUser() {
    return QString::fromStdString(linux_backend::userName(linux_backend::currentUserId()));
}

int LinuxOsServices::WindowNewsHandle() {
    return windows_->newsHandle();
}

bool LinuxOsServices::TakeWindowNews() {
    return windows_->takeNews();
}

uint32_t LinuxOsServices::ParentProcessId(uint32_t processId) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%u/stat", processId);
    std::FILE* file = processId != 0 ? std::fopen(path, "re") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // "PID (NAME) STATE PPID ...": the name may hold anything, so the fields count from the
    // last parenthesis.
    const char* close = std::strrchr(text, ')');
    unsigned parent = 0;
    if (n == 0 || close == nullptr || std::sscanf(close + 1, " %*c %u", &parent) != 1) {
        return 0;
    }
    return parent;
}

OsServices& platformServices() {
    // One backend, and with it one X connection, for the whole process.
    static LinuxOsServices backend;
    return backend;
}

}  // namespace orvel::os
