// A window without a screen, for tests and the command-line runner. It keeps
// the results text and every control's last state, records every message box
// and answers it from a script, and calls a hook at each yield (DoEvents) so
// that a test can press Cancel at the k-th yield.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/window.h"

namespace veracap {

struct RecordedMessageBox {
  std::string text;
  int style = 0;
  std::string title;
  int answer = 0;
};

class HeadlessWindow : public Window {
 public:
  void ControlChanged(Control control, const ControlState& state) override;
  void LogReplaced(const std::string& whole_text) override;
  void LogAppended(const std::string& added_text) override;
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  void DoEvents() override;
  bool SetClipboardText(const std::string& text) override;

  // Answers for the next message boxes that offer a choice, in order; when
  // the script runs out, default_answer is given. OK-only boxes answer OK.
  void ScriptAnswers(std::initializer_list<int> answers);
  int default_answer = kIdOk;
  // Called at every DoEvents with the 1-based count of yields so far.
  std::function<void(long yield_number)> on_yield;
  // Called after each message box is recorded (e.g. to print it).
  std::function<void(const RecordedMessageBox&)> on_message_box;
  // Called with each piece of text added to the log, and with the whole new
  // text when the log is replaced.
  std::function<void(const std::string&)> on_log_appended;
  std::function<void(const std::string&)> on_log_replaced;

  const std::string& text() const { return text_; }
  const std::vector<RecordedMessageBox>& message_boxes() const { return boxes_; }
  const ControlState& control(Control c) const { return controls_[static_cast<std::size_t>(c)]; }
  long yields() const { return yields_; }
  const std::string& clipboard() const { return clipboard_; }

 private:
  std::string text_;
  std::array<ControlState, kControlCount> controls_{};
  std::vector<RecordedMessageBox> boxes_;
  std::deque<int> answers_;
  long yields_ = 0;
  std::string clipboard_;
};

}  // namespace veracap
