// Time, virtual or the machine's, and the web page a click would open.
#include <ctime>

#include "base/civil_time.h"
#include "platform/emulated/platform_state.h"

namespace veracap::emulated {

std::uint32_t EmulatedPlatform::GetTickCount() {
  Impl& m = *impl_;
  if (m.options.real_clock) {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  return m.options.start_tick_ms + static_cast<std::uint32_t>(m.virtual_ms);
}

void EmulatedPlatform::Sleep(std::uint32_t milliseconds) { impl_->Spend(milliseconds); }

LocalTime EmulatedPlatform::GetLocalTime() {
  Impl& m = *impl_;
  if (!m.options.real_clock) {
    return FromSerialSeconds(m.start_serial_seconds +
                             static_cast<std::int64_t>(m.virtual_ms / 1000));
  }
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void EmulatedPlatform::ShellExecuteOpen(const std::string& url) {
  impl_->requests.push_back("ShellExecute open " + url);
}

}  // namespace veracap::emulated
