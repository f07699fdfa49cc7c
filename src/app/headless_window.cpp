#include "app/headless_window.h"

namespace veracap {

void HeadlessWindow::ControlChanged(Control control, const ControlState& state) {
  controls_[static_cast<std::size_t>(control)] = state;
}

void HeadlessWindow::LogReplaced(const std::string& whole_text) {
  text_ = whole_text;
  if (on_log_replaced) on_log_replaced(whole_text);
}

void HeadlessWindow::LogAppended(const std::string& added_text) {
  text_ += added_text;
  if (on_log_appended) on_log_appended(added_text);
}

int HeadlessWindow::MessageBox(const std::string& text, int style, const std::string& title) {
  int answer = default_answer;
  // A box with an OK button only can only be answered OK; it takes no
  // scripted answer.
  if ((style & 0xF) == kMbOk) {
    answer = kIdOk;
  } else if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  boxes_.push_back({text, style, title, answer});
  if (on_message_box) on_message_box(boxes_.back());
  return answer;
}

void HeadlessWindow::DoEvents() {
  ++yields_;
  if (on_yield) on_yield(yields_);
}

bool HeadlessWindow::SetClipboardText(const std::string& text) {
  clipboard_ = text;
  return true;
}

void HeadlessWindow::ScriptAnswers(std::initializer_list<int> answers) {
  answers_.insert(answers_.end(), answers.begin(), answers.end());
}

}  // namespace veracap
