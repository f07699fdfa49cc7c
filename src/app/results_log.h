// The results log (the text of Text1) and the message boxes that go with it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/context.h"

namespace veracap {

inline constexpr const char* kCrLf = "\r\n";
inline constexpr const char* kAppTitle = "VERACAP";

// Adds the text at the end of the log, unchanged.
void AppendResult(Context& ctx, std::string_view text);
// In debug mode adds CR LF and the text; otherwise does nothing at all.
void LogDebug(Context& ctx, std::string_view text);
// Adds the message to the log on a line of its own and, unless QuietMode is
// on, shows it in a message box. Returns the button pressed, or nothing in
// quiet mode. An empty title means the application title.
std::optional<int> ReportMessage(Context& ctx, std::string_view message, int style,
                                 std::string_view title = {});
// Replaces the whole log.
void SetResultText(Context& ctx, std::string_view text);
// A message box shown directly (not logged, shown whatever QuietMode says).
int ShowMessage(Context& ctx, std::string_view text, int style, std::string_view title = {});
// Copy button: the whole log to the clipboard as plain text.
void cmdCopy_Click(Context& ctx);

// The current local date and time as the trace lines print it.
std::string NowText(Context& ctx);
// LogDebug of the current date and time followed by the pieces.
void Trace(Context& ctx, std::string_view pieces);

}  // namespace veracap
