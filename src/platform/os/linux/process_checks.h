#pragma once
// What /proc tells about another process beyond its memory: which run of the process it is,
// what it has mapped, and a claim on it shared out among the Orvels of this machine.
#include <cstdint>
#include <string>

namespace orvel::os::linux_backend {

// Field 22 of /proc/PID/stat (start time in clock ticks since boot); 0 if unknown.
uint64_t processStartTime(uint32_t processId);
// True when /proc/PID/maps covers every byte of [address, address + length).
bool processHasMapped(uint32_t processId, uint32_t address, uint32_t length);
// An exclusive advisory lock on "orvel-game-PID-START.lock" in the user's runtime folder. A
// positive token; 0 while another process holds it (or the file cannot be made); -1 when the
// user has no private runtime folder to hold it in.
intptr_t claimProcess(uint32_t processId, uint64_t startTime);
void releaseClaim(intptr_t token);

// The real user id of the process (from /proc/PID/status); -1 when it is gone.
int64_t processUserId(uint32_t processId);
int64_t currentUserId();
// The user's login name, or its number when it has none.
std::string userName(int64_t uid);

}  // namespace orvel::os::linux_backend
