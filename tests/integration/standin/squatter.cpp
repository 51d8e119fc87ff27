// Preloaded into kartova-standin by a test: takes one page at STANDIN_SQUAT_ADDRESS before the
// program starts, so that the program finds part of its fixed range already in use.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

__attribute__((constructor)) void squat() {
    const char* text = std::getenv("STANDIN_SQUAT_ADDRESS");
    if (!text) {
        return;
    }
    const std::uintptr_t address = std::strtoul(text, nullptr, 0);
    mmap(reinterpret_cast<void*>(address), 4096, PROT_READ,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
}

}  // namespace
