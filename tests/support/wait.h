#pragma once
// Waiting in tests: one default timeout, scaled for slow machines, and waits that end on a
// condition or a barrier instead of a fixed sleep.

#include <functional>

namespace orvel::testing {

// A wait of ms milliseconds, stretched by ORVEL_TEST_TIMEOUT_SCALE (e.g. 3 on a slow machine).
int scaledMs(int ms);

// The wait every helper uses when told nothing else.
constexpr int kDefaultTimeoutMs = 30000;

// Polls condition, running the event loop in between, until it holds or the (scaled) time is up.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultTimeoutMs);

// Checks that condition holds on every poll until barrier holds (a marker message seen, frames
// or ticks passed). False as soon as condition fails, or when the barrier never comes.
bool staysUntil(const std::function<bool()>& condition, const std::function<bool()>& barrier,
                int timeoutMs = kDefaultTimeoutMs);

}  // namespace orvel::testing
