#include "cli/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace veracap::cli {
namespace {

constexpr double kRedrawSeconds = 0.1;
constexpr double kFileBytes = 209715200;
constexpr double kBlockSectors = 25600;

std::string Clock(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string Unix(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Console::Console(std::ostream& out, std::ostream& err, bool quiet, bool bar, bool about)
    : out_(out), err_(err), quiet_(quiet), bar_(bar), about_(about) {}

void Console::Attach(HeadlessWindow& window) {
  window_ = &window;
  window.on_log_replaced = [this](const std::string& text) {
    if (!quiet_) Emit((printed_ ? "\n" : "") + Unix(text));
  };
  window.on_log_appended = [this](const std::string& text) {
    if (!quiet_) Emit(Unix(text));
  };
  window.on_message_box = [this](const RecordedMessageBox& box) {
    if (box.title == "About Veracap") {
      if (about_) {
        out_ << Unix(box.text) << "\n\n" << std::flush;
      }
      return;
    }
    // A message the log already holds (the verdicts) is shown once, there.
    if (!box.text.empty() && EndsWith(window_->text(), box.text)) return;
    // The confirmations: the runner asks its own question (or --yes answers).
    const bool question = (box.style & 0xF) == kMbOkCancel;
    if (question && (box.title == "Quick Size Test" || box.title == "File Test" ||
                     box.text.rfind("WARNING: All drives", 0) == 0)) {
      return;
    }
    std::string text = Unix(box.text);
    if (question) text += box.answer == kIdOk ? " [answered OK]" : " [answered Cancel]";
    if (quiet_) {
      ClearBar();
      err_ << text << "\n" << std::flush;
    } else {
      Emit((printed_ ? "\n" : "") + text);
    }
  };
}

void Console::Watch(Meter& meter, const AppState& state, const std::string& test) {
  meter_ = &meter;
  state_ = &state;
  test_ = test;
  if (bar_) meter.on_transfer = [this] { Draw(); };
}

void Console::Emit(const std::string& text) {
  ClearBar();
  printed_ = true;
  if (!bar_) {
    out_ << text << std::flush;
    return;
  }
  // The log begins each line with its line break, so its last line stays
  // open; with a bar on the same terminal that line is held back until it
  // is complete, and the bar takes a line of its own.
  open_line_ += text;
  const auto end = open_line_.rfind('\n');
  if (end == std::string::npos) return;
  out_ << open_line_.substr(0, end + 1) << std::flush;
  open_line_.erase(0, end + 1);
}

void Console::EndLog() {
  ClearBar();
  if (printed_) out_ << open_line_ << "\n" << std::flush;
  open_line_.clear();
  printed_ = false;
}

void Console::ClearBar() {
  if (!bar_shown_) return;
  err_ << "\r\x1b[K" << std::flush;
  bar_shown_ = false;
}

std::string Console::BarLine(int percent, const std::string& rate, double elapsed, double remaining,
                             const std::string& phase, int width) {
  percent = std::clamp(percent, 0, 100);
  const int filled = percent * width / 100;
  std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3d%%", percent);
  line += pct;
  line += "  " + rate + "  " + Clock(elapsed) + " elapsed";
  if (remaining >= 0) line += "  " + Clock(remaining) + " left";
  return line + "  " + phase;
}

void Console::Draw() {
  const double now = meter_->Elapsed();
  if (last_draw_ >= 0 && now - last_draw_ < kRedrawSeconds) return;
  last_draw_ = now;
  double fraction = 0;
  std::string rate, phase;
  char text[64];
  if (test_ == "quick") {
    const double blocks =
        std::max(1.0, std::floor(state_->DriveSizeBytes / 512 / kBlockSectors) + 1);
    const Transfers& w = meter_->disk_writes;
    const Transfers& r = meter_->disk_reads;
    // Both passes count: one write and two reads a block.
    fraction = (std::min(static_cast<double>(w.count), blocks) + r.count / 2.0) / (2 * blocks);
    if (r.count > 0 && w.count > blocks / 2) {
      std::snprintf(text, sizeof text, "%.0f reads/s", r.seconds > 0 ? r.count / r.seconds : 0.0);
      phase = "reading markers back";
    } else {
      std::snprintf(text, sizeof text, "%.0f markers/s", w.seconds > 0 ? w.count / w.seconds : 0.0);
      phase = "writing markers";
    }
    phase_start_ = 0;
  } else {
    const double planned = std::max(1.0, state_->PlannedFileCount);
    if (meter_->file_writing) {
      const Transfers& w = meter_->file_writes;
      fraction = static_cast<double>(w.bytes) / (planned * kFileBytes);
      std::snprintf(text, sizeof text, "%.1f MB/s",
                    w.seconds > 0 ? w.bytes / 1e6 / w.seconds : 0.0);
      phase = "writing test file " + std::to_string(meter_->file_number);
    } else {
      const Transfers& rd = meter_->file_reads;
      fraction = meter_->file_number / planned;
      std::snprintf(text, sizeof text, "%.1f MB/s",
                    rd.seconds > 0 ? rd.bytes / 1e6 / rd.seconds : 0.0);
      phase = "checking test file " + std::to_string(meter_->file_number);
    }
  }
  rate = text;
  if (test_ != "quick" && phase.substr(0, 5) != phase_.substr(0, 5)) phase_start_ = now;
  phase_ = phase;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const double spent = now - phase_start_;
  const double remaining = fraction > 0.01 ? spent * (1 - fraction) / fraction : -1;
  err_ << "\r" << BarLine(static_cast<int>(fraction * 100), rate, now, remaining, phase, 24)
       << "\x1b[K" << std::flush;
  bar_shown_ = true;
}

bool Console::Ask(const std::string& question, std::FILE* in) {
  EndLog();
  err_ << question << " [y/N] " << std::flush;
  char line[64] = {};
  if (std::fgets(line, sizeof line, in) == nullptr) return false;
  std::string answer(line);
  while (!answer.empty() &&
         (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' '))
    answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace veracap::cli
