#pragma once

namespace velmor {

// Without a display (no DISPLAY, no WAYLAND_DISPLAY, no platform asked for)
// the window is drawn offscreen and the server serves all the same.
void FallBackToOffscreenWithoutDisplay(int argc, char* argv[]);

}  // namespace velmor
