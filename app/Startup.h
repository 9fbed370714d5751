#pragma once

#include "app/CommandLine.h"

namespace velmor {

// Without a display (no DISPLAY, no WAYLAND_DISPLAY, no platform asked for)
// the window is drawn offscreen and the server serves all the same.
void FallBackToOffscreenWithoutDisplay(int argc, char* argv[]);

// Runs the server without a window until SIGINT or SIGTERM; the exit status
// is 1 when it could not listen.
int ServeWithoutWindow(int argc, char* argv[], const CommandLine& line);

}  // namespace velmor
