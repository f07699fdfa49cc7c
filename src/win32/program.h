// The program around the window: the core's state, the window and a platform
// put together, and run until the window closes.
#pragma once

#include "platform/platform.h"

namespace veracap::win32 {

// Runs Veracap over the platform: loads the main window (About box first),
// runs it until it is closed or Exit is chosen, and returns the exit code.
// instance is the program's module (HINSTANCE), for its resources.
// force_high_contrast: see MainWindow.
int RunVeracap(void* instance, Platform& platform, bool force_high_contrast = false);

}  // namespace veracap::win32
