// The native Windows window: Form1 and its controls, drawn from the window
// model (app/window_model.h) and the ControlState the core keeps, and nothing
// else. Every user event goes to the core's handlers (Click, Choose,
// Form_Resize); the core tells the window what changed through the Window
// seam.
//
// Lifetime: construct, Attach the core's context, then Run, which loads the
// form (Form_Load: the About box comes before the window shows) and pumps
// messages until the window is gone. Closing the window while a test runs
// asks the test to cancel; the window closes once the test's handler has
// returned, so no volume stays locked and no handle open.
#pragma once

#include <memory>
#include <string>

#include "app/context.h"
#include "app/window.h"

namespace veracap::win32 {

class MainWindow : public Window {
 public:
  // instance: the program's module (for its icon resource).
  // force_high_contrast draws the window as under a High Contrast theme
  // whatever the system says (for tests where the theme cannot be set).
  explicit MainWindow(void* instance, bool force_high_contrast = false);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The context whose window this is; must be set before Run.
  void Attach(Context& ctx);
  // Creates the window, loads the form and runs the message loop until the
  // window has been destroyed. Returns the process exit code.
  int Run();

  void ControlChanged(Control control, const ControlState& state) override;
  void LogReplaced(const std::string& whole_text) override;
  void LogAppended(const std::string& added_text) override;
  // MessageBoxA, owned by the window once it is shown.
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  // PeekMessage / TranslateMessage / DispatchMessage until the queue is empty.
  void DoEvents() override;
  // The same, but keyboard and mouse input is dropped unless it is for
  // Cancel or the results box: painting goes on, Cancel and the close box
  // work, and Windows never sees a window that stopped reading its queue.
  void KeepResponsive() override;
  // CF_TEXT and CF_UNICODETEXT on the clipboard; false when the clipboard
  // cannot be had.
  bool SetClipboardText(const std::string& text) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace veracap::win32
