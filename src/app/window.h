// The window seam. The core keeps the state of every control (ControlState)
// and tells the window each change; the window draws it, shows message boxes,
// processes pending events when asked, and owns the clipboard. Two backends:
// the native Win32 window and HeadlessWindow (tests and the command line).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace veracap {

// The controls of the main window, in tab order, then the form itself.
enum class Control : int {
  cmdVolumeTest,
  cmdQuickTest,
  Combo1,
  Drive1,
  cmdRefreshDrive,
  cmdCancel,
  cmdcleanup,
  cmdExit,
  cmdCopy,
  Text1,
  Label1,
  Label2,
  chkShowAll,
  Form1,
};
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::Form1) + 1;

struct ControlState {
  bool enabled = true;
  bool visible = true;
  std::string caption;             // buttons, labels, check box, form caption
  std::vector<std::string> items;  // Combo1 entries
  int selected = -1;               // Combo1 selection, -1 for none
  bool checked = false;            // chkShowAll
};

// Message-box styles and answers (Win32 numbers).
inline constexpr int kMbOk = 0;
inline constexpr int kMbOkCancel = 1;
inline constexpr int kMbIconStop = 0x10;
inline constexpr int kMbIconExclamation = 0x30;
inline constexpr int kMbIconInformation = 0x40;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

class Window {
 public:
  virtual ~Window() = default;
  // A control's state changed (anything but the results text).
  virtual void ControlChanged(Control control, const ControlState& state) = 0;
  // The results log was replaced whole, or text was added at its end. In
  // both cases the view keeps the caret at the end with nothing selected.
  virtual void LogReplaced(const std::string& whole_text) = 0;
  virtual void LogAppended(const std::string& added_text) = 0;
  // A modal message box; returns the button pressed (kIdOk, kIdCancel, ...).
  virtual int MessageBox(const std::string& text, int style, const std::string& title) = 0;
  // Process pending window events (the only place a Cancel click can arrive).
  virtual void DoEvents() = 0;
  // Long work between two yields: keep the window painted and answering, so
  // that the system never takes it for hung, without running any handler
  // but Cancel's. Not a yield: nothing else may happen to the program's
  // state. A window without a screen has nothing to do.
  virtual void KeepResponsive() {}
  // Clears the clipboard and puts the text on it as plain text.
  virtual bool SetClipboardText(const std::string& text) = 0;
};

const char* ControlName(Control control);

}  // namespace veracap
