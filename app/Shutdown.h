#pragma once

namespace velmor {

// SIGINT and SIGTERM end the event loop, so the program ends as if its window
// were closed instead of dying mid-event.
void QuitOnTerminationSignals();

}  // namespace velmor
