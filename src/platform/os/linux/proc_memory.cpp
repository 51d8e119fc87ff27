#include "platform/os/linux/proc_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvel::os::linux_backend {

namespace {

constexpr uint32_t kPageSize = 4096;

// Handles are descriptors shifted by one, so that 0 stays "no handle" as callers expect.
int descriptor(ProcessHandle process) {
    return process > 0 && process <= 0x7fffffff ? static_cast<int>(process - 1) : -1;
}

// Loops over partial transfers; the kernel stops at the first page it cannot reach.
template <typename Transfer>
bool transferAll(int fd, uint32_t address, size_t length, size_t* done, Transfer transfer) {
    size_t moved = 0;
    bool ok = fd >= 0;
    while (ok && moved < length) {
        const ssize_t n = transfer(
            fd, moved, static_cast<off_t>(address) + static_cast<off_t>(moved), length - moved);
        if (n > 0) {
            moved += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ok = false;  // an unmapped page (EIO), a process that has gone (0), ...
        }
    }
    if (done != nullptr) {
        *done = moved;
    }
    return ok;
}

}  // namespace

ProcessHandle openProcessMemory(uint32_t access, uint32_t processId, OpenError* error) {
    auto fail = [error](OpenError why) {
        if (error != nullptr) {
            *error = why;
        }
        return ProcessHandle{0};
    };
    if (processId == 0) {
        return fail(OpenError::NoSuchProcess);
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/mem", processId);
    const int flags = (access & PROCESS_VM_WRITE) != 0 ? O_RDWR : O_RDONLY;
    const int fd = ::open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ESRCH:
                return fail(OpenError::NoSuchProcess);
            case EACCES:
            case EPERM:
                return fail(OpenError::AccessDenied);
            default:
                return fail(OpenError::Other);
        }
    }
    if (error != nullptr) {
        *error = OpenError::None;
    }
    return static_cast<ProcessHandle>(fd) + 1;
}

bool protectProcessMemory(ProcessHandle process, uint32_t address, uint32_t length) {
    const int fd = descriptor(process);
    if (fd < 0) {
        return false;
    }
    // One byte of every page in the range tells whether the page is mapped.
    const uint64_t end = static_cast<uint64_t>(address) + length;
    for (uint64_t page = address & ~uint64_t{kPageSize - 1}; page < end; page += kPageSize) {
        const uint64_t probe = page < address ? address : page;
        unsigned char byte;
        ssize_t n;
        do {
            n = ::pread(fd, &byte, 1, static_cast<off_t>(probe));
        } while (n < 0 && errno == EINTR);
        if (n != 1) {
            return false;
        }
    }
    return true;
}

bool readProcessMemory(ProcessHandle process, uint32_t address, void* destination, size_t length,
                       size_t* done) {
    auto* out = static_cast<unsigned char*>(destination);
    return transferAll(descriptor(process), address, length, done,
                       [out](int fd, size_t at, off_t offset, size_t count) {
                           return ::pread(fd, out + at, count, offset);
                       });
}

bool writeProcessMemory(ProcessHandle process, uint32_t address, const void* source, size_t length,
                        size_t* done) {
    const auto* in = static_cast<const unsigned char*>(source);
    return transferAll(descriptor(process), address, length, done,
                       [in](int fd, size_t at, off_t offset, size_t count) {
                           return ::pwrite(fd, in + at, count, offset);
                       });
}

bool closeProcessMemory(ProcessHandle process) {
    const int fd = descriptor(process);
    return fd >= 0 && ::close(fd) == 0;
}

}  // namespace orvel::os::linux_backend
