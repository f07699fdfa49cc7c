// The idle and busy states of the window, and the Cancel button.
#pragma once

#include "app/context.h"

namespace veracap {

// Enter the busy state: Cancel shown, everything that would start other work
// disabled. The drive list cannot be rebuilt while a test holds a disk, so
// "List all drives" and the drive-letter list are disabled too.
void Show_Cancel(Context& ctx);
// Leave the busy state (or set up the idle state at start-up).
void Hide_Cancel(Context& ctx);
// Cancel only raises the flag; the running test notices it at its next poll.
void cmdCancel_Click(Context& ctx);

}  // namespace veracap
