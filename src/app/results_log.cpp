#include "app/results_log.h"

#include "app/clock.h"

namespace veracap {

void AppendResult(Context& ctx, std::string_view text) {
  ctx.state.results_log.append(text);
  ctx.window.LogAppended(std::string(text));
}

void LogDebug(Context& ctx, std::string_view text) {
  if (!ctx.state.DebugMode) return;
  std::string line = kCrLf;
  line.append(text);
  AppendResult(ctx, line);
}

std::optional<int> ReportMessage(Context& ctx, std::string_view message, int style,
                                 std::string_view title) {
  if (message.substr(0, 2) == kCrLf) {
    AppendResult(ctx, message);
  } else {
    std::string line = kCrLf;
    line.append(message);
    AppendResult(ctx, line);
  }
  if (ctx.state.QuietMode) return std::nullopt;
  return ShowMessage(ctx, message, style, title);
}

void SetResultText(Context& ctx, std::string_view text) {
  ctx.state.results_log.assign(text);
  ctx.window.LogReplaced(ctx.state.results_log);
}

int ShowMessage(Context& ctx, std::string_view text, int style, std::string_view title) {
  return ctx.window.MessageBox(std::string(text), style,
                               title.empty() ? std::string(kAppTitle) : std::string(title));
}

void cmdCopy_Click(Context& ctx) { ctx.window.SetClipboardText(ctx.state.results_log); }

std::string NowText(Context& ctx) { return GeneralDateText(ctx.platform.GetLocalTime()); }

void Trace(Context& ctx, std::string_view pieces) {
  if (!ctx.state.DebugMode) return;  // spare building the date text
  std::string text = NowText(ctx);
  text.append(pieces);
  LogDebug(ctx, text);
}

}  // namespace veracap
