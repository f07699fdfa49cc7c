// The runner's terminal side: the results log printed as the program writes
// it (each message once), the message boxes that are not already in the log,
// a progress bar on standard error redrawn in place when that is a terminal,
// and the one question asked before anything is destroyed.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "app/headless_window.h"
#include "app/state.h"
#include "cli/meter.h"

namespace veracap::cli {

// CR LF line breaks as a terminal wants them (LF).
std::string Unix(const std::string& text);

class Console {
 public:
  // out takes the log; err the progress bar and the notices. quiet: the
  // log is not printed. bar: draw the progress bar (err is a terminal).
  Console(std::ostream& out, std::ostream& err, bool quiet, bool bar, bool about);

  // Hooks the window's log and message boxes to the output.
  void Attach(HeadlessWindow& window);
  // Hooks the meter's transfers to the progress bar of the test that the
  // state describes ("quick" or "filetest").
  void Watch(Meter& meter, const AppState& state, const std::string& test);
  // Removes the bar from the screen (before other output, and at the end).
  void ClearBar();
  // Ends the log's last line.
  void EndLog();

  // Asks question on err and reads a line from in; true for y or yes.
  bool Ask(const std::string& question, std::FILE* in);

  // The line a bar shows, for a test: elapsed and remaining seconds, percent
  // done and a rate text.
  static std::string BarLine(int percent, const std::string& rate, double elapsed, double remaining,
                             const std::string& phase, int width);

 private:
  void Draw();
  // Prints log text (LF line breaks).
  void Emit(const std::string& text);

  std::ostream& out_;
  std::ostream& err_;
  bool quiet_;
  bool bar_;
  bool about_;
  bool printed_ = false;
  bool bar_shown_ = false;
  std::string open_line_;
  HeadlessWindow* window_ = nullptr;
  Meter* meter_ = nullptr;
  const AppState* state_ = nullptr;
  std::string test_;
  double last_draw_ = -1;
  std::string phase_;
  double phase_start_ = 0;
};

}  // namespace veracap::cli
