// The idle and busy states of the window, and the Cancel button.
#pragma once

#include <cstdint>
#include <string>

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

// Called inside long loops that do not yield (reads, the pieces of a test
// file, the samples of the verifier): at most every kResponsiveIntervalMs of
// the platform's tick the window is asked to stay responsive (paint, and
// take a Cancel click). A window that ignores input for 5 seconds is shown
// as not responding and offered for closing, which would kill a test.
inline constexpr std::uint32_t kResponsiveIntervalMs = 150;
void KeepResponsive(Context& ctx);

// While a test runs (the busy state) the computer must not go to sleep: on
// waking, USB storage is often enumerated afresh and the test fails for a
// cause that is not the memory. Shutting down must say what it breaks: the
// reason shown, or "" when nothing runs.
bool KeepAwake(const AppState& state);
std::string ShutdownBlockReason(const AppState& state);

}  // namespace veracap
