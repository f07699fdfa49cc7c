#include "win32/main_window.h"

#include "platform/win32/windows_api.h"
// After windows.h:
#include <commctrl.h>
#include <dbt.h>

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "app/busy.h"
#include "app/window_model.h"
#include "drives/drive_list.h"
#include "shell/startup.h"
#include "win32/layout.h"

namespace veracap::win32 {
namespace {

constexpr char kClassName[] = "VeracapForm1";
constexpr int kIconResource = 1;
constexpr int kTableSize = static_cast<int>(kControlCount) - 1;
// Lines of a drop-down list shown when it opens.
constexpr int kDropDownLines = 8;

// Windows 10's per-monitor dpi calls, looked up at run time so that the
// program still starts on older Windows (which then gets the system dpi).
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Fn>
Fn User32Function(const char* name) {
  HMODULE user32 = ::GetModuleHandleA("user32.dll");
  return user32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(user32, name)))
                : nullptr;
}

int SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND hwnd) {
  static const auto get_dpi = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (get_dpi && hwnd) {
    const UINT dpi = get_dpi(hwnd);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  return SystemDpi();
}

// The outer window rectangle for a client area of that size.
RECT OuterRect(int client_width, int client_height, DWORD style, DWORD ex_style, int dpi) {
  RECT r{0, 0, client_width, client_height};
  static const auto adjust = User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
  if (!adjust || !adjust(&r, style, FALSE, ex_style, static_cast<UINT>(dpi))) {
    ::AdjustWindowRectEx(&r, style, FALSE, ex_style);
  }
  return r;
}

COLORREF ColourRef(std::uint32_t bgr) { return static_cast<COLORREF>(bgr); }

int SystemColourIndex(SystemColour colour) {
  switch (colour) {
    case SystemColour::kWindow:
      return COLOR_WINDOW;
    case SystemColour::kWindowText:
      return COLOR_WINDOWTEXT;
    case SystemColour::kButtonFace:
      return COLOR_BTNFACE;
    case SystemColour::kButtonText:
      return COLOR_BTNTEXT;
    case SystemColour::kHotLight:
      return COLOR_HOTLIGHT;
  }
  return COLOR_BTNFACE;
}

COLORREF PaintColour(const Paint& paint) {
  return paint.fixed ? ColourRef(paint.bgr) : ::GetSysColor(SystemColourIndex(paint.system));
}

// Whether the user has a High Contrast theme on.
bool HighContrastOn() {
  HIGHCONTRASTA high_contrast{};
  high_contrast.cbSize = sizeof high_contrast;
  return ::SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof high_contrast, &high_contrast, 0) &&
         (high_contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// Text of the program (in the ANSI code page, as the window shows it) for
// the calls that take UTF-16.
std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          length);
  }
  return wide;
}

// Keyboard and mouse input in the client area of a window.
bool IsInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
         (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST);
}

// Puts a copy of size bytes on the open clipboard in that format.
bool PutOnClipboard(UINT format, const void* data, std::size_t size) {
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!memory) return false;
  bool done = false;
  if (void* p = ::GlobalLock(memory)) {
    std::memcpy(p, data, size);
    ::GlobalUnlock(memory);
    done = ::SetClipboardData(format, memory) != nullptr;
  }
  if (!done) ::GlobalFree(memory);
  return done;
}

// A GDI object owned by the window.
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(HGDIOBJ object) : object_(object) {}
  GdiObject(GdiObject&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() { Reset(); }
  HGDIOBJ get() const { return object_; }

 private:
  void Reset() {
    if (object_) ::DeleteObject(object_);
    object_ = nullptr;
  }
  HGDIOBJ object_ = nullptr;
};

bool SameFont(const FontSpec& a, const FontSpec& b) {
  return a.name == b.name && a.size_points == b.size_points && a.bold == b.bold &&
         a.italic == b.italic && a.underline == b.underline;
}

// The results box is read-only: Tab and Shift+Tab leave it, as from any
// other control, instead of being taken as text; and coming into it does not
// select the whole log (the caret stays at its end).
LRESULT CALLBACK ResultsBoxProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                DWORD_PTR) {
  if (message == WM_GETDLGCODE) {
    LRESULT code = ::DefSubclassProc(hwnd, message, wparam, lparam);
    code &= ~static_cast<LRESULT>(DLGC_HASSETSEL);
    const auto* msg = reinterpret_cast<const MSG*>(lparam);
    if (wparam == VK_TAB || (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_TAB)) {
      code &= ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB);
    }
    return code;
  }
  return ::DefSubclassProc(hwnd, message, wparam, lparam);
}

std::string WindowText(HWND hwnd) {
  const int length = ::GetWindowTextLengthA(hwnd);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
  const int got = ::GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

}  // namespace

struct MainWindow::Impl {
  HINSTANCE instance = nullptr;
  Context* ctx = nullptr;
  HWND form = nullptr;
  HWND tooltip = nullptr;
  std::array<HWND, kTableSize> controls{};
  // The entries a list shows, to rebuild it only when they change.
  std::array<std::vector<std::string>, kTableSize> shown_items;
  std::array<std::string, kTableSize> tool_tips;
  int dpi = 96;
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  DWORD ex_style = WS_EX_CONTROLPARENT;

  std::vector<std::pair<FontSpec, GdiObject>> fonts;
  // The fixed background colours; null where a system colour is used.
  std::array<GdiObject, kTableSize> back_brushes;
  bool high_contrast = false;
  bool force_high_contrast = false;  // a test's switch: as if a theme had it on
  // What was asked of the system for the running test.
  bool kept_awake = false;
  std::string block_reason;

  // Nesting of the core's handlers (a test's yield runs nested handlers).
  int handler_depth = 0;
  bool close_pending = false;
  bool quit_pending = false;
  int exit_code = 0;
  bool in_fixed_size = false;

  HWND Hwnd(Control c) const { return controls[static_cast<std::size_t>(c)]; }

  std::optional<Control> ControlOf(HWND hwnd) const {
    for (int i = 0; i < kTableSize; ++i) {
      if (controls[static_cast<std::size_t>(i)] == hwnd && hwnd) return static_cast<Control>(i);
    }
    return std::nullopt;
  }

  HFONT Font(const FontSpec& config) {
    for (auto& [font_config, font] : fonts) {
      if (SameFont(font_config, config)) return static_cast<HFONT>(font.get());
    }
    const std::string name(FaceName(config));
    // TrueType asked for, and a sans-serif face should that one be missing.
    HFONT font = ::CreateFontA(-FontHeightPixels(config.size_points, dpi), 0, 0, 0,
                               config.bold ? FW_BOLD : FW_NORMAL, config.italic, config.underline,
                               FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, name.c_str());
    fonts.emplace_back(config, GdiObject(font));
    return font;
  }

  HBRUSH BackBrush(Control c) const {
    const GdiObject& brush = back_brushes[static_cast<std::size_t>(c)];
    if (brush.get()) return static_cast<HBRUSH>(brush.get());
    return ::GetSysColorBrush(SystemColourIndex(BackPaint(SpecOf(c), high_contrast).system));
  }
  COLORREF TextColour(Control c) const { return PaintColour(TextPaint(SpecOf(c), high_contrast)); }

  // The colours follow the theme: fixed ones without High Contrast, the
  // theme's own with it.
  void MakeBrushes() {
    high_contrast = force_high_contrast || HighContrastOn();
    for (const ControlSpec& config : ControlTable()) {
      const Paint back = BackPaint(config, high_contrast);
      back_brushes[static_cast<std::size_t>(config.control)] =
          back.fixed ? GdiObject(::CreateSolidBrush(ColourRef(back.bgr))) : GdiObject();
    }
  }
  void ThemeChanged() {
    MakeBrushes();
    if (form) ::RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  }

  // While a test runs the computer stays awake, and a shutdown shows why it
  // should wait.
  void UpdatePower() {
    if (!ctx || !form) return;
    const bool awake = KeepAwake(ctx->state);
    if (awake != kept_awake) {
      ::SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
      kept_awake = awake;
    }
    const std::string reason = ShutdownBlockReason(ctx->state);
    if (reason != block_reason) {
      if (reason.empty()) {
        ::ShutdownBlockReasonDestroy(form);
      } else {
        ::ShutdownBlockReasonCreate(form, Wide(reason).c_str());
      }
      block_reason = reason;
    }
  }

  // Height of a drawn list's selection field (item -1) or of its entries.
  UINT ItemHeight(Control c, bool selection_field) const {
    const ControlSpec& config = SpecOf(c);
    return static_cast<UINT>(selection_field ? ListSelectionHeight(config, dpi)
                                             : ListItemHeight(config, dpi));
  }

  // Pending messages: all of them at a yield; while working between
  // yields, only what keeps the window alive (painting, the frame, the
  // system's messages) and input for Cancel and the results box.
  void Pump(bool all_input);
  bool TakesInputWhileWorking(HWND hwnd) const {
    return hwnd && (hwnd == Hwnd(Control::cmdCancel) || hwnd == Hwnd(Control::Text1));
  }

  // Runs one of the core's handlers; when the outermost one returns, a close
  // asked for meanwhile (or Exit) takes effect.
  void RunHandler(const std::function<void()>& handler) {
    ++handler_depth;
    handler();
    --handler_depth;
    if (handler_depth > 0) return;
    if ((close_pending || ctx->state.ended) && form) ::DestroyWindow(form);
    if (quit_pending) ::PostQuitMessage(exit_code);
  }

  // The user asked to close the window (close box, Alt+F4, system menu).
  void CloseRequested() {
    if (handler_depth == 0) {
      ::DestroyWindow(form);
      return;
    }
    // A test is running inside a handler: let it release its disk and
    // volumes first. The close takes effect when the handler returns.
    close_pending = true;
    cmdCancel_Click(*ctx);
  }

  bool Create();
  void CreateControls();
  void Layout();
  void ApplyFonts();
  void Show();
  LoadGeometry Geometry() const;
  void KeepFixedSize();
  void ChangeDpi(int new_dpi, const RECT* suggested);
  void CaretToEnd();
  void MoveFocusFrom(HWND hwnd);
  void DrawButton(const DRAWITEMSTRUCT& d, Control c);
  void DrawListItem(const DRAWITEMSTRUCT& d, Control c);
  std::optional<LRESULT> ControlColour(HDC dc, HWND child);
  void Command(int id, int code, HWND child);
  LRESULT Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

LRESULT CALLBACK MainWindow::Impl::StaticProc(HWND hwnd, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(hwnd, message, wparam, lparam);
  return self->Proc(hwnd, message, wparam, lparam);
}

bool MainWindow::Impl::Create() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&icc);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &Impl::StaticProc;
  wc.hInstance = instance;
  wc.hIcon = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON),
                                             ::GetSystemMetrics(SM_CYICON), 0));
  wc.hIconSm = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(kIconResource),
                                               IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kClassName;
  if (!::RegisterClassExA(&wc)) return false;

  const FormSpec& form_model = FormModel();
  const std::string caption(form_model.caption);
  dpi = SystemDpi();
  const PixelSize client = ClientSizePixels(form_model, dpi);
  const RECT outer = OuterRect(client.width, client.height, style, ex_style, dpi);
  form = ::CreateWindowExA(ex_style, kClassName, caption.c_str(), style, CW_USEDEFAULT,
                           CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top,
                           nullptr, nullptr, instance, this);
  if (!form) return false;
  // The monitor the window opened on may have a dpi of its own.
  dpi = WindowDpi(form);

  MakeBrushes();
  CreateControls();
  Layout();
  return true;
}

void MainWindow::Impl::CreateControls() {
  tooltip = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, form, nullptr, instance, nullptr);
  if (tooltip) ::SendMessageA(tooltip, TTM_SETMAXTIPWIDTH, 0, 300);

  // Created in tab order, so that the dialog manager's Tab follows it.
  for (const ControlSpec& config : ControlTable()) {
    const char* window_class = "BUTTON";
    DWORD style_bits = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex = 0;
    const bool drawn = DrawnByWindow(config);
    switch (config.kind) {
      case ControlKind::kButton:
        style_bits |= WS_TABSTOP | BS_MULTILINE | (drawn ? BS_OWNERDRAW : BS_PUSHBUTTON);
        break;
      case ControlKind::kDropDownList:
      case ControlKind::kDriveList:
        window_class = "COMBOBOX";
        style_bits |= WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
        if (drawn) style_bits |= CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
        break;
      case ControlKind::kCheckBox:
        // Not automatic: the core toggles the box and tells the window.
        style_bits |= WS_TABSTOP | BS_CHECKBOX;
        break;
      case ControlKind::kLabel:
        window_class = "STATIC";
        style_bits |= SS_LEFT;
        break;
      case ControlKind::kLinkLabel:
        window_class = "STATIC";
        style_bits |= SS_LEFT | SS_NOTIFY;
        break;
      case ControlKind::kMultiLineText:
        window_class = "EDIT";
        // Read-only: the box shows the results log, which only the program
        // writes (and which Copy puts on the clipboard).
        style_bits |= WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
        ex = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kForm:
        continue;
    }
    const std::string caption(config.caption);
    const auto index = static_cast<std::size_t>(config.control);
    HWND child =
        ::CreateWindowExA(ex, window_class, caption.c_str(), style_bits, 0, 0, 10, 10, form,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(config.control))),
                          instance, nullptr);
    controls[index] = child;
    if (config.kind == ControlKind::kMultiLineText) {
      // No length limit: the log only grows while the window lives.
      ::SendMessageA(child, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
      ::SetWindowSubclass(child, &ResultsBoxProc, 1, 0);
    }
    if (tooltip && !config.tool_tip.empty()) {
      tool_tips[index] = std::string(config.tool_tip);
      TOOLINFOA tool{};
      tool.cbSize = sizeof tool;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = form;
      tool.uId = reinterpret_cast<UINT_PTR>(child);
      tool.lpszText = tool_tips[index].data();
      ::SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
  ApplyFonts();
}

void MainWindow::Impl::ApplyFonts() {
  for (const ControlSpec& config : ControlTable()) {
    HWND child = Hwnd(config.control);
    if (child) ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(Font(config.font)), TRUE);
  }
  if (tooltip) {
    ::SendMessageA(tooltip, WM_SETFONT, reinterpret_cast<WPARAM>(Font(FormModel().default_font)),
                   FALSE);
  }
}

void MainWindow::Impl::Layout() {
  const PixelSize client = ClientSizePixels(FormModel(), dpi);
  const RECT outer = OuterRect(client.width, client.height, style, ex_style, dpi);
  ::SetWindowPos(form, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const ControlSpec& config : ControlTable()) {
    HWND child = Hwnd(config.control);
    if (!child) continue;
    const PixelRect r = ControlRectPixels(config, dpi);
    int height = r.height;
    if (config.kind == ControlKind::kDropDownList || config.kind == ControlKind::kDriveList) {
      // A combo box's window height includes its opened list; its closed
      // height is its selection field's and the frame's.
      height += kDropDownLines * ListItemHeight(config, dpi);
      ::SendMessageA(child, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                     ListSelectionHeight(config, dpi));
      // A drawn list measures its entries once, when it is made: at another
      // dpi they are measured again.
      if (DrawnByWindow(config)) {
        ::SendMessageA(child, CB_SETITEMHEIGHT, 0, ListItemHeight(config, dpi));
      }
    }
    ::MoveWindow(child, r.left, r.top, r.width, height, TRUE);
  }
}

LoadGeometry MainWindow::Impl::Geometry() const {
  RECT window{};
  ::GetWindowRect(form, &window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoA(::MonitorFromWindow(form, MONITOR_DEFAULTTOPRIMARY), &monitor);
  LoadGeometry g;
  g.window_width_twips = PixelsToTwips(window.right - window.left, dpi);
  g.window_height_twips = PixelsToTwips(window.bottom - window.top, dpi);
  g.screen_width_twips = PixelsToTwips(monitor.rcMonitor.right - monitor.rcMonitor.left, dpi);
  g.screen_height_twips = PixelsToTwips(monitor.rcMonitor.bottom - monitor.rcMonitor.top, dpi);
  return g;
}

void MainWindow::Impl::Show() {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoA(::MonitorFromWindow(form, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const AppState& s = ctx->state;
  const int left = monitor.rcMonitor.left + TwipsToPixelsRounded(s.form_left_twips, dpi);
  const int top = monitor.rcMonitor.top + TwipsToPixelsRounded(s.form_top_twips, dpi);
  ::SetWindowPos(form, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ::ShowWindow(form, SW_SHOW);
  ::SetForegroundWindow(form);
  ::UpdateWindow(form);
  if (HWND first = ::GetNextDlgTabItem(form, nullptr, FALSE)) ::SetFocus(first);
}

void MainWindow::Impl::KeepFixedSize() {
  if (in_fixed_size || ctx == nullptr || ctx->state.form_load_width_twips == 0) return;
  RECT window{};
  ::GetWindowRect(form, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  const std::optional<SizeTwips> back = Form_Resize(
      ctx->state, ::IsIconic(form) != 0, PixelsToTwips(width, dpi), PixelsToTwips(height, dpi));
  if (!back) return;
  const int want_width = TwipsToPixelsRounded(back->width_twips, dpi);
  const int want_height = TwipsToPixelsRounded(back->height_twips, dpi);
  // Twips and pixels differ by rounding only: nothing to do.
  if (want_width == width && want_height == height) return;
  in_fixed_size = true;
  ::SetWindowPos(form, nullptr, 0, 0, want_width, want_height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  in_fixed_size = false;
}

void MainWindow::Impl::ChangeDpi(int new_dpi, const RECT* suggested) {
  dpi = new_dpi;
  fonts.clear();
  ApplyFonts();
  if (suggested) {
    ::SetWindowPos(form, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Layout();
}

void MainWindow::Impl::CaretToEnd() {
  HWND text = Hwnd(Control::Text1);
  const int length = ::GetWindowTextLengthA(text);
  ::SendMessageA(text, EM_SETSEL, static_cast<WPARAM>(length), length);
  ::SendMessageA(text, EM_SCROLLCARET, 0, 0);
}

void MainWindow::Impl::MoveFocusFrom(HWND hwnd) {
  if (::GetFocus() != hwnd) return;
  HWND next = ::GetNextDlgTabItem(form, hwnd, FALSE);
  ::SetFocus(next && next != hwnd ? next : form);
}

void MainWindow::Impl::DrawButton(const DRAWITEMSTRUCT& d, Control c) {
  RECT r = d.rcItem;
  const bool pressed = (d.itemState & ODS_SELECTED) != 0;
  const bool disabled = (d.itemState & ODS_DISABLED) != 0;
  ::FillRect(d.hDC, &r, BackBrush(c));
  ::DrawEdge(d.hDC, &r, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);

  const std::string caption = WindowText(d.hwndItem);
  HGDIOBJ old_font = ::SelectObject(d.hDC, Font(SpecOf(c).font));
  ::SetBkMode(d.hDC, TRANSPARENT);
  ::SetTextColor(d.hDC, disabled ? ::GetSysColor(COLOR_GRAYTEXT) : TextColour(c));
  RECT text = r;
  ::InflateRect(&text, -4, -3);
  if (pressed) ::OffsetRect(&text, 1, 1);
  UINT format = DT_CENTER | DT_WORDBREAK;
  if (d.itemState & ODS_NOACCEL) format |= DT_HIDEPREFIX;
  RECT measured = text;
  ::DrawTextA(d.hDC, caption.c_str(), -1, &measured, format | DT_CALCRECT);
  const int spare = (text.bottom - text.top) - (measured.bottom - measured.top);
  if (spare > 0) text.top += spare / 2;
  ::DrawTextA(d.hDC, caption.c_str(), -1, &text, format);
  ::SelectObject(d.hDC, old_font);

  if ((d.itemState & ODS_FOCUS) && !(d.itemState & ODS_NOFOCUSRECT)) {
    RECT focus = r;
    ::InflateRect(&focus, -3, -3);
    ::DrawFocusRect(d.hDC, &focus);
  }
}

void MainWindow::Impl::DrawListItem(const DRAWITEMSTRUCT& d, Control c) {
  RECT r = d.rcItem;
  const bool selected = (d.itemState & ODS_SELECTED) != 0;
  const bool disabled = (d.itemState & ODS_DISABLED) != 0;
  const bool highlight = selected && !disabled;
  ::FillRect(d.hDC, &r, highlight ? ::GetSysColorBrush(COLOR_HIGHLIGHT) : BackBrush(c));
  if (d.itemID != static_cast<UINT>(-1)) {
    const LRESULT length = ::SendMessageA(d.hwndItem, CB_GETLBTEXTLEN, d.itemID, 0);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
    ::SendMessageA(d.hwndItem, CB_GETLBTEXT, d.itemID, reinterpret_cast<LPARAM>(text.data()));
    text.resize(text.find('\0'));
    HGDIOBJ old_font = ::SelectObject(d.hDC, Font(SpecOf(c).font));
    ::SetBkMode(d.hDC, TRANSPARENT);
    ::SetTextColor(d.hDC, disabled    ? ::GetSysColor(COLOR_GRAYTEXT)
                          : highlight ? ::GetSysColor(COLOR_HIGHLIGHTTEXT)
                                      : TextColour(c));
    RECT text_rect = r;
    text_rect.left += 2;
    ::DrawTextA(d.hDC, text.c_str(), -1, &text_rect,
                DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    ::SelectObject(d.hDC, old_font);
  }
  if ((d.itemState & ODS_FOCUS) && !(d.itemState & ODS_NOFOCUSRECT)) ::DrawFocusRect(d.hDC, &r);
}

std::optional<LRESULT> MainWindow::Impl::ControlColour(HDC dc, HWND child) {
  std::optional<Control> c = ControlOf(child);
  if (!c) {
    // The opened list of the coloured drop-down belongs to it.
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    if (::GetComboBoxInfo(Hwnd(Control::Combo1), &info) && info.hwndList == child) {
      c = Control::Combo1;
    }
  }
  if (!c) return std::nullopt;
  ::SetBkColor(dc, PaintColour(BackPaint(SpecOf(*c), high_contrast)));
  ::SetTextColor(dc, TextColour(*c));
  return reinterpret_cast<LRESULT>(BackBrush(*c));
}

void MainWindow::Impl::Command(int id, int code, HWND child) {
  const std::optional<Control> c = ControlFromId(id);
  if (!c || child != Hwnd(*c)) return;
  const ControlKind kind = SpecOf(*c).kind;
  switch (kind) {
    case ControlKind::kButton:
    case ControlKind::kCheckBox:
      if (code == BN_CLICKED) RunHandler([&] { Click(*ctx, *c); });
      break;
    case ControlKind::kLinkLabel:
      if (code == STN_CLICKED) RunHandler([&] { Click(*ctx, *c); });
      break;
    case ControlKind::kDropDownList:
    case ControlKind::kDriveList:
      if (code == CBN_SELCHANGE) {
        const int index = static_cast<int>(::SendMessageA(child, CB_GETCURSEL, 0, 0));
        bool chosen = false;
        RunHandler([&] { chosen = Choose(*ctx, *c, index); });
        // A choice the core did not take: show its state again.
        if (!chosen && form) {
          shown_items[static_cast<std::size_t>(*c)].clear();
          const ControlState& state = ctx->state.controls[static_cast<std::size_t>(*c)];
          ::SendMessageA(child, CB_RESETCONTENT, 0, 0);
          for (const std::string& item : state.items) {
            ::SendMessageA(child, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
          }
          shown_items[static_cast<std::size_t>(*c)] = state.items;
          ::SendMessageA(child, CB_SETCURSEL, static_cast<WPARAM>(state.selected), 0);
        }
      }
      break;
    default:
      break;
  }
}

LRESULT MainWindow::Impl::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (ctx) Command(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
      if (auto brush =
              ControlColour(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam))) {
        return *brush;
      }
      break;
    case WM_MEASUREITEM: {
      auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lparam);
      const std::optional<Control> c = ControlFromId(static_cast<int>(m->CtlID));
      if (m->CtlType == ODT_COMBOBOX && c) {
        m->itemHeight = ItemHeight(*c, m->itemID == static_cast<UINT>(-1));
        return TRUE;
      }
      break;
    }
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      const std::optional<Control> c = ControlFromId(static_cast<int>(d->CtlID));
      if (!c) break;
      if (d->CtlType == ODT_BUTTON) {
        DrawButton(*d, *c);
      } else if (d->CtlType == ODT_COMBOBOX) {
        DrawListItem(*d, *c);
      }
      return TRUE;
    }
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wparam) == Hwnd(Control::Label2)) {
        ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));  // IDC_HAND
        return TRUE;
      }
      break;
    case WM_SIZE:
      KeepFixedSize();
      return 0;
    case 0x02E0: {  // WM_DPICHANGED
      ChangeDpi(HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));
      return 0;
    }
    case WM_DEVICECHANGE:  // a drive came or went: the core rebuilds the list if idle
      if (ctx && (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
        const bool handler_running = handler_depth > 0;
        RunHandler([&] { DevicesChanged(*ctx, handler_running); });
      }
      return TRUE;
    case WM_SETTINGCHANGE:
      if (wparam == SPI_SETHIGHCONTRAST) ThemeChanged();
      break;
    case WM_SYSCOLORCHANGE:
    case 0x031A:  // WM_THEMECHANGED
      ThemeChanged();
      break;
    case WM_QUERYENDSESSION:
      // A test runs: ask Windows to wait, with the reason set by
      // UpdatePower. A critical shutdown cannot be held up.
      if (ctx && KeepAwake(ctx->state) && (lparam & ENDSESSION_CRITICAL) == 0) return FALSE;
      return TRUE;
    case WM_ENDSESSION:
      // The session ends all the same: the test is asked to stop, and the
      // window closes once it has let go of the disk, if time allows.
      if (wparam && handler_depth > 0) CloseRequested();
      return 0;
    case WM_CLOSE:
      CloseRequested();
      return 0;
    case WM_DESTROY:
      form = nullptr;
      ::PostQuitMessage(exit_code);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(hwnd, message, wparam, lparam);
}

MainWindow::MainWindow(void* instance, bool force_high_contrast) : impl_(std::make_unique<Impl>()) {
  impl_->instance = static_cast<HINSTANCE>(instance);
  impl_->force_high_contrast = force_high_contrast;
}

MainWindow::~MainWindow() {
  if (impl_->form) ::DestroyWindow(impl_->form);
  if (impl_->kept_awake) ::SetThreadExecutionState(ES_CONTINUOUS);
}

void MainWindow::Attach(Context& ctx) { impl_->ctx = &ctx; }

int MainWindow::Run() {
  Impl& m = *impl_;
  if (!m.ctx || !m.Create()) return 1;
  const LoadGeometry geometry = m.Geometry();
  m.RunHandler([&] { Form_Load(*m.ctx, geometry); });
  MSG msg;
  while (m.form && ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!m.form || !::IsDialogMessageA(m.form, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }
  return m.exit_code;
}

void MainWindow::ControlChanged(Control control, const ControlState& state) {
  Impl& m = *impl_;
  if (!m.form) return;
  if (control == Control::Form1) {
    if (WindowText(m.form) != state.caption) ::SetWindowTextA(m.form, state.caption.c_str());
    const bool shown = ::IsWindowVisible(m.form) != 0;
    if (state.visible && !shown) m.Show();
    if (!state.visible && shown) ::ShowWindow(m.form, SW_HIDE);
    return;
  }
  m.UpdatePower();
  HWND hwnd = m.Hwnd(control);
  if (!hwnd) return;
  const ControlSpec& config = SpecOf(control);
  const auto index = static_cast<std::size_t>(control);
  switch (config.kind) {
    case ControlKind::kDropDownList:
    case ControlKind::kDriveList:
      if (m.shown_items[index] != state.items) {
        ::SendMessageA(hwnd, CB_RESETCONTENT, 0, 0);
        for (const std::string& item : state.items) {
          ::SendMessageA(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        }
        m.shown_items[index] = state.items;
      }
      if (::SendMessageA(hwnd, CB_GETCURSEL, 0, 0) != state.selected) {
        ::SendMessageA(hwnd, CB_SETCURSEL, static_cast<WPARAM>(state.selected), 0);
      }
      break;
    case ControlKind::kCheckBox:
      ::SendMessageA(hwnd, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
      [[fallthrough]];
    case ControlKind::kButton:
    case ControlKind::kLabel:
    case ControlKind::kLinkLabel:
      if (WindowText(hwnd) != state.caption) ::SetWindowTextA(hwnd, state.caption.c_str());
      break;
    case ControlKind::kMultiLineText:
    case ControlKind::kForm:
      break;
  }
  const bool enabled = ::IsWindowEnabled(hwnd) != 0;
  if (enabled != state.enabled) {
    ::EnableWindow(hwnd, state.enabled);
    if (!state.enabled) m.MoveFocusFrom(hwnd);
  }
  const bool visible = (::GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  if (visible != state.visible) {
    ::ShowWindow(hwnd, state.visible ? SW_SHOWNA : SW_HIDE);
    if (!state.visible) m.MoveFocusFrom(hwnd);
  }
}

void MainWindow::LogReplaced(const std::string& whole_text) {
  Impl& m = *impl_;
  if (!m.form) return;
  ::SetWindowTextA(m.Hwnd(Control::Text1), whole_text.c_str());
  m.CaretToEnd();
}

void MainWindow::LogAppended(const std::string& added_text) {
  Impl& m = *impl_;
  if (!m.form) return;
  m.CaretToEnd();
  ::SendMessageA(m.Hwnd(Control::Text1), EM_REPLACESEL, FALSE,
                 reinterpret_cast<LPARAM>(added_text.c_str()));
  m.CaretToEnd();
}

int MainWindow::MessageBox(const std::string& text, int style, const std::string& title) {
  Impl& m = *impl_;
  // Before the window shows (the About box) the box stands on its own.
  HWND owner = m.form && ::IsWindowVisible(m.form) ? m.form : nullptr;
  UINT flags = static_cast<UINT>(style);
  if (!owner) flags |= MB_SETFOREGROUND;
  return ::MessageBoxA(owner, text.c_str(), title.c_str(), flags);
}

void MainWindow::Impl::Pump(bool all_input) {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Ending the session or the program: finish the test's way out first,
      // then end (RunHandler posts the quit again).
      quit_pending = true;
      exit_code = static_cast<int>(msg.wParam);
      if (form) CloseRequested();
      return;
    }
    if (!all_input && IsInput(msg.message) && !TakesInputWhileWorking(msg.hwnd)) continue;
    if (!form || !::IsDialogMessageA(form, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }
}

void MainWindow::DoEvents() { impl_->Pump(true); }

void MainWindow::KeepResponsive() { impl_->Pump(false); }

bool MainWindow::SetClipboardText(const std::string& text) {
  Impl& m = *impl_;
  // Another program may hold the clipboard for a moment.
  bool opened = false;
  for (int attempt = 0; attempt < 10 && !opened; ++attempt) {
    opened = ::OpenClipboard(m.form) != 0;
    if (!opened) ::Sleep(20);
  }
  if (!opened) return false;
  bool done = false;
  if (::EmptyClipboard()) {
    // The text as the window holds it, and in UTF-16 converted from the
    // same code page: a program that pastes Unicode would otherwise get it
    // converted by the keyboard's language, and labels outside it garbled.
    const std::wstring wide = Wide(text);
    done = PutOnClipboard(CF_TEXT, text.c_str(), text.size() + 1) &&
           PutOnClipboard(CF_UNICODETEXT, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  }
  ::CloseClipboard();
  return done;
}

}  // namespace veracap::win32
