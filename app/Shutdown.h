#pragma once

#include <functional>

namespace velmor {

// SIGINT and SIGTERM end the event loop, so the program ends as if its window
// were closed instead of dying mid-event.
void QuitOnTerminationSignals();

// SIGHUP calls recertify on the calling thread's event loop (once for signals
// that come faster than it runs). Only a server that has something to read
// again takes SIGHUP: elsewhere it ends the program, as it always did.
void RecertifyOnHangup(std::function<void()> recertify);

}  // namespace velmor
