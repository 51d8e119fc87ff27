#pragma once

// The DirectX events behind DirectX8::CreateEvent / DestroyEvent and SignalEvent.
//
// An event behaves like an auto-reset event watched on the GUI thread: a signal marks it set, and
// the event's callback runs once on the GUI thread for a set event. Signals that arrive before
// that run begins fold into it (the callback reads whatever has accumulated); a signal that
// arrives while the callback runs sets the event again, so the callback runs once more after it.
// Callbacks of all events go through one queue, so they never overlap or nest, also when a
// callback sits in a nested event loop (a message box). Destroying an event drops its pending
// run.

#include <cstdint>

namespace dx8 {

class DirectXEvent8;

namespace events {

// Returns a fresh non-zero id; ids are not reused while the process runs (up to 2^31 events).
// Call on the GUI thread.
int32_t create(DirectXEvent8* callback);
// Unknown ids are ignored.
void destroy(int32_t eventid);
// Any thread; unknown ids are ignored.
void signal(int32_t eventid);
// How many events exist (for tests and leak checks).
int liveCount();

}  // namespace events
}  // namespace dx8
