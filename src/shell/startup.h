// Start-up of the main window, its title and About text, its fixed size, the
// web link, Exit, and the dispatch of clicks to the controls' handlers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/context.h"
#include "version.h"

namespace veracap {

inline constexpr int kVersionMajor = VERACAP_VERSION_MAJOR;
inline constexpr int kVersionMinor = VERACAP_VERSION_MINOR;
inline constexpr int kVersionRevision = VERACAP_VERSION_PATCH;

// "VERACAP v1.1.1  [Qmx]".
std::string TitleLine(int major = kVersionMajor, int minor = kVersionMinor,
                      int revision = kVersionRevision);
// The About box's text: lines joined with CR LF, the first being the title
// line and "  2014"; no CR LF after the last.
std::string AboutText(std::string_view title_line);

// Sizes in twips that a native window reports at load: its own outer size
// and the screen's. The defaults stand for a window that has only its client
// area on a 1024 x 768 screen (the headless window).
struct LoadGeometry {
  int window_width_twips = 8055;
  int window_height_twips = 6585;
  int screen_width_twips = 15360;
  int screen_height_twips = 11520;
};

// Loads the window: creates the controls from the window model, records the
// load-time size, centres the window, sets the caption to TitleLine, puts
// the controls into the idle state, creates SectorBuffer, builds the drive
// list, shows the About box (modal; loading waits for it) and only then
// shows the window (Form1 becomes visible).
void Form_Load(Context& ctx, const LoadGeometry& geometry = {});

struct SizeTwips {
  int width_twips;
  int height_twips;
};
// The fixed-size rule, called by a native window on every resize: the size
// to set the window back to, or nothing when it is minimized or already at
// its load-time size.
std::optional<SizeTwips> Form_Resize(const AppState& state, bool minimized, int width_twips,
                                     int height_twips);

// The link label: opens the maker's web page.
void Label2_Click(Context& ctx);
// Exit: the closing message, hDrive closed, and the program ends (the
// state's ended flag; the front end closes the window and no handler runs
// after it).
void cmdExit_Click(Context& ctx);

// A click on a control as a real window delivers it: nothing happens when
// the control is disabled or hidden, the window is not shown, or the program
// has ended, nor while another handler runs (a click that arrives at a
// test's yield), Cancel's excepted. A click on the check box toggles it
// before its handler runs. Returns whether a handler ran.
bool Click(Context& ctx, Control control);
// The user picks item index of a list (Combo1's entries or Drive1's
// letters); ignored like Click when the list cannot be used or a handler
// runs, or when index is out of range. Picking in Combo1 runs its click handler; a change of
// Drive1's selection rebuilds the drive list.
bool Choose(Context& ctx, Control control, int index);

}  // namespace veracap
