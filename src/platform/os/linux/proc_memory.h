#pragma once

// Another process's memory through /proc/PID/mem: one open, one transfer, one close per caller
// operation; nothing stays open in between.

#include <cstddef>
#include <cstdint>

#include "platform/os/os_services.h"

namespace orvel::os::linux_backend {

ProcessHandle openProcessMemory(uint32_t access, uint32_t processId, OpenError* error);
bool protectProcessMemory(ProcessHandle process, uint32_t address, uint32_t length);
bool readProcessMemory(ProcessHandle process, uint32_t address, void* destination, size_t length,
                       size_t* done);
bool writeProcessMemory(ProcessHandle process, uint32_t address, const void* source, size_t length,
                        size_t* done);
bool closeProcessMemory(ProcessHandle process);

}  // namespace orvel::os::linux_backend
