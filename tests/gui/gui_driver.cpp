// A smoke test of veracap-emulated.exe through its real window, as a user
// would click it: the mouse and the keyboard are real input (SendInput),
// message boxes are found on the screen and their buttons clicked, the
// results box is read back with WM_GETTEXT, and screenshots are taken.
//
//   veracap-gui-driver.exe PROGRAM SCREENSHOT_FOLDER
//
// Three runs of PROGRAM: the first goes from the About box to a Quick Size
// Test on the "32 GB" counterfeit (FAILED) and Exit; the second cancels a
// Quick Size Test, starts another and closes the window while it runs, then
// checks from the program's exit report that every volume was unlocked and
// every handle closed; the third draws the window in a High Contrast colour
// scheme, runs a Quick Size Test whose reads are slow without the window
// ever being taken for hung (IsHungAppWindow), copies the log, and moves
// the window to 144 dpi. The window's geometry is proven by the layout
// tests.
//
// Prints one line per check; the last line is "N passed, N failed". Exit code
// 0 when every check passed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/window_model.h"
#include "platform/win32/windows_api.h"
#include "png.h"
#include "win32/layout.h"

namespace veracap::gui {
namespace {

using win32::ControlId;

int g_passed = 0;
int g_failed = 0;
std::string g_screenshots;
DWORD g_pid = 0;
HANDLE g_process = nullptr;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  (ok ? g_passed : g_failed)++;
}

void Pause(int ms) { ::Sleep(static_cast<DWORD>(ms)); }

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    Pause(25);
  }
  return condition();
}

// Wide messages with room to spare: Wine's cross-process ANSI text replies
// can overrun the caller's buffer.
std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  return text;
}

std::string Text(HWND hwnd) {
  const LRESULT length = ::SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) * 2 + 64, L'\0');
  const LRESULT got =
      ::SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return Narrow(text);
}

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

std::string Quote(std::string text) {
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
    text.replace(at, 2, "|");
  }
  return "\"" + (text.size() > 90 ? text.substr(0, 90) + "..." : text) + "\"";
}

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  ::GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// Visible top-level windows of the program.
std::vector<HWND> ProgramWindows() {
  std::vector<HWND> found;
  ::EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(hwnd, &pid);
        if (pid == g_pid && ::IsWindowVisible(hwnd)) {
          reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND FindProgramWindow(const std::string& window_class, const std::string& title = "") {
  for (HWND hwnd : ProgramWindows()) {
    if (ClassOf(hwnd) == window_class && (title.empty() || Text(hwnd) == title)) return hwnd;
  }
  return nullptr;
}

HWND WaitForWindow(const std::string& window_class, const std::string& title, int timeout_ms) {
  HWND hwnd = nullptr;
  WaitFor([&] { return (hwnd = FindProgramWindow(window_class, title)) != nullptr; }, timeout_ms);
  return hwnd;
}

// A message box of the program: its window, title and text.
struct Box {
  HWND hwnd = nullptr;
  std::string title;
  std::string text;
};

Box WaitForBox(int timeout_ms) {
  Box box;
  WaitFor(
      [&] {
        box.hwnd = FindProgramWindow("#32770");
        return box.hwnd != nullptr;
      },
      timeout_ms);
  if (box.hwnd) {
    // A box takes the focus when it has been drawn: clicks before that can
    // be lost.
    WaitFor([&] { return ::GetForegroundWindow() == box.hwnd; }, 2000);
    Pause(150);
    box.title = Text(box.hwnd);
    if (HWND text = ::GetDlgItem(box.hwnd, 0xFFFF)) box.text = Text(text);
  }
  return box;
}

// Real input: the pointer moves to the point and the left button is pressed
// and released there.
void MoveMouse(int x, int y) {
  const int vx = ::GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int vy = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int vw = std::max(2, ::GetSystemMetrics(SM_CXVIRTUALSCREEN));
  const int vh = std::max(2, ::GetSystemMetrics(SM_CYVIRTUALSCREEN));
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dx =
      static_cast<LONG>((static_cast<long long>(x - vx) * 65535 + (vw - 1) / 2) / (vw - 1));
  input.mi.dy =
      static_cast<LONG>((static_cast<long long>(y - vy) * 65535 + (vh - 1) / 2) / (vh - 1));
  input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  ::SendInput(1, &input, sizeof input);
}

void ClickAt(int x, int y, int hold_ms = 40) {
  // The pointer comes from a little way off, as a hand's would: a window that
  // appeared under a pointer that never moved may not see the press. The
  // way stays inside the target: Wine may deliver a move late, after the
  // press, and a move off a caption button cancels its press.
  MoveMouse(x - 3, y - 2);
  Pause(50);
  MoveMouse(x, y);
  Pause(60 + hold_ms);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_MOUSE;
  input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(1, &input[0], sizeof(INPUT));
  Pause(hold_ms);
  ::SendInput(1, &input[1], sizeof(INPUT));
  Pause(100);
}

void Click(HWND hwnd) {
  RECT r{};
  ::GetWindowRect(hwnd, &r);
  ClickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void Key(WORD vk, bool alt = false) {
  std::vector<INPUT> keys;
  const auto add = [&](WORD code, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = code;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    keys.push_back(in);
  };
  if (alt) add(VK_MENU, false);
  add(vk, false);
  add(vk, true);
  if (alt) add(VK_MENU, true);
  for (INPUT& in : keys) {
    ::SendInput(1, &in, sizeof in);
    Pause(30);
  }
  Pause(100);
}

// Whether the box is still up: Wine may give the next box the same window
// handle, so the box is known by its title and text.
bool StillShown(const Box& box) {
  if (!::IsWindow(box.hwnd) || !::IsWindowVisible(box.hwnd)) return false;
  if (Text(box.hwnd) != box.title) return false;
  HWND text = ::GetDlgItem(box.hwnd, 0xFFFF);
  return text && Text(text) == box.text;
}

bool AnswerBox(const Box& box, int button_id) {
  // A click that comes while the box is still being activated can be lost;
  // a user would click again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    HWND button = ::GetDlgItem(box.hwnd, button_id);
    if (!button) return false;
    Click(button);
    if (WaitFor([&] { return !StillShown(box); }, 3000)) return true;
    std::printf("     clicking %s again\n", Quote(Text(button)).c_str());
  }
  return false;
}

// The screen inside a rectangle, as RGB rows from the top.
struct Capture {
  RECT rect{};
  std::vector<std::uint8_t> rgb;
  int width() const { return rect.right - rect.left; }
  int height() const { return rect.bottom - rect.top; }
};

Capture CaptureScreen(RECT rect) {
  Capture c;
  c.rect = rect;
  const int w = c.width();
  const int h = c.height();
  if (w <= 0 || h <= 0) return c;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
  ::GdiFlush();
  c.rgb.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
  const auto* bgra = static_cast<const std::uint8_t*>(bits);
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * static_cast<std::size_t>(h); ++i) {
    c.rgb[i * 3 + 0] = bgra[i * 4 + 2];
    c.rgb[i * 3 + 1] = bgra[i * 4 + 1];
    c.rgb[i * 3 + 2] = bgra[i * 4 + 0];
  }
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return c;
}

// The program's windows (main window and any box) with a margin, saved.
Capture Screenshot(const std::string& name) {
  RECT all{};
  bool first = true;
  for (HWND hwnd : ProgramWindows()) {
    const std::string cls = ClassOf(hwnd);
    if (cls != "VeracapForm1" && cls != "#32770") continue;
    RECT r{};
    ::GetWindowRect(hwnd, &r);
    if (first) {
      all = r;
      first = false;
    } else {
      ::UnionRect(&all, &all, &r);
    }
  }
  if (first) all = RECT{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  ::InflateRect(&all, 8, 8);
  RECT screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  ::IntersectRect(&all, &all, &screen);
  Capture c = CaptureScreen(all);
  const std::string path = g_screenshots + "\\" + name + ".png";
  Check(WritePng(path, c.width(), c.height(), c.rgb), "screenshot " + name + ".png");
  return c;
}

bool StartProgram(const std::string& program, const std::string& exit_report) {
  ::SetEnvironmentVariableA("VERACAP_EXIT_REPORT", exit_report.c_str());
  const std::string folder = program.substr(0, program.find_last_of('\\'));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string command = "\"" + program + "\"";
  if (!::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info)) {
    return false;
  }
  ::CloseHandle(info.hThread);
  g_process = info.hProcess;
  g_pid = info.dwProcessId;
  return true;
}

// Waits for the program to end; its exit code, or -1 when it did not end.
int WaitForEnd(int timeout_ms) {
  if (::WaitForSingleObject(g_process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  ::GetExitCodeProcess(g_process, &code);
  ::CloseHandle(g_process);
  g_process = nullptr;
  return static_cast<int>(code);
}

void KillProgram() {
  if (!g_process) return;
  ::TerminateProcess(g_process, 99);
  ::WaitForSingleObject(g_process, 5000);
  ::CloseHandle(g_process);
  g_process = nullptr;
}

HWND Control(HWND main, veracap::Control c) { return ::GetDlgItem(main, ControlId(c)); }

bool Visible(HWND main, veracap::Control c) { return ::IsWindowVisible(Control(main, c)) != 0; }

std::vector<std::string> ComboItems(HWND combo) {
  std::vector<std::string> items;
  const LRESULT count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring item(static_cast<std::size_t>(length > 0 ? length : 0) * 2 + 64, L'\0');
    ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(item.data()));
    item.resize(item.find(L'\0'));
    items.push_back(Narrow(item));
  }
  return items;
}

// Opens the drop-down list with a click and clicks the entry.
bool ChooseEntry(HWND main, int index) {
  HWND combo = Control(main, veracap::Control::Combo1);
  for (int attempt = 0; attempt < 3; ++attempt) {
    Click(combo);
    HWND list = WaitForWindow("ComboLBox", "", 3000);
    if (!list) continue;
    Pause(300);
    const int item_height = static_cast<int>(::SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
    const int top = static_cast<int>(::SendMessageW(list, LB_GETTOPINDEX, 0, 0));
    POINT origin{0, 0};
    ::ClientToScreen(list, &origin);
    ClickAt(origin.x + 30, origin.y + (index - top) * item_height + item_height / 2);
    if (WaitFor([&] { return ::SendMessageW(combo, CB_GETCURSEL, 0, 0) == index; }, 2000)) {
      return true;
    }
    std::printf("     list at %ld,%ld, items %d high from %d: choosing again\n", origin.x, origin.y,
                item_height, top);
    if (FindProgramWindow("ComboLBox")) Key(VK_ESCAPE);
  }
  return false;
}

int FindEntry(const std::vector<std::string>& items, const std::string& piece) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (Contains(items[i], piece)) return static_cast<int>(i);
  }
  return -1;
}

void CheckIdle(HWND main, const std::string& when) {
  Check(!Visible(main, veracap::Control::cmdCancel), "Cancel hidden " + when);
  Check(!Visible(main, veracap::Control::Label1), "Label1 hidden " + when);
  Check(Visible(main, veracap::Control::cmdQuickTest) &&
            ::IsWindowEnabled(Control(main, veracap::Control::cmdQuickTest)),
        "Quick Size Test usable " + when);
}

// Clicks a button; when the program answers with a box, that box.
Box ClickAndWaitForBox(HWND button, int timeout_ms) {
  Click(button);
  return WaitForBox(timeout_ms);
}

// A box with that title whose text begins with text_start, or (when
// anywhere is true) holds it.
bool CheckBox(const Box& box, const std::string& title, const std::string& text_start,
              bool anywhere = false) {
  const bool ok = box.hwnd && box.title == title &&
                  (anywhere ? Contains(box.text, text_start) : box.text.rfind(text_start, 0) == 0);
  Check(ok, "box " + Quote(box.title) + ": " + Quote(box.text));
  return ok;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Run 1: start-up, a Quick Size Test on the counterfeit, Exit.
void FullRun(const std::string& program, const std::string& report) {
  std::printf("== start-up, Quick Size Test, Exit ==\n");
  Check(StartProgram(program, report), "program started");
  Box about = WaitForBox(60000);
  Check(::FindWindowA("VeracapForm1", nullptr) == nullptr ||
            !::IsWindowVisible(::FindWindowA("VeracapForm1", nullptr)),
        "the About box comes before the window shows");
  CheckBox(about, "About Veracap", "VERACAP v1.1.1  [Qmx]  2014\r\n\r\nThis utility tests");
  Screenshot("01-about-box");
  Check(AnswerBox(about, IDOK), "About box closed with OK");

  HWND main = nullptr;
  WaitFor(
      [&] { return (main = ::FindWindowA("VeracapForm1", nullptr)) && ::IsWindowVisible(main); },
      10000);
  if (!main) {
    Check(false, "main window shown");
    return;
  }
  Pause(300);
  Check(Text(main) == "VERACAP v1.1.1  [Qmx]", "caption " + Quote(Text(main)));
  Screenshot("02-startup");
  CheckIdle(main, "at start-up");

  // The drive list.
  const std::vector<std::string> items = ComboItems(Control(main, veracap::Control::Combo1));
  for (const std::string& item : items) std::printf("     drive list: %s\n", Quote(item).c_str());
  const int fake = FindEntry(items, "FAKE32");
  Check(fake >= 0, "drive list holds the \"32 GB\" counterfeit");
  if (fake < 0) return;

  // Quick Size Test on the "32 GB" counterfeit.
  Check(ChooseEntry(main, fake), "chose " + Quote(items[static_cast<std::size_t>(fake)]));
  Box first = ClickAndWaitForBox(Control(main, veracap::Control::cmdQuickTest), 10000);
  CheckBox(first, "Quick Size Test",
           "WARNING: This test will DESTROY ALL DATA on the whole drive.");
  AnswerBox(first, IDOK);
  Box second = WaitForBox(10000);
  CheckBox(second, "Quick Size Test", "ARE YOU SURE IT IS OK TO ERASE ALL VOLUMES ON DRIVE ");
  AnswerBox(second, IDOK);
  bool saw_busy = WaitFor(
      [&] { return Visible(main, veracap::Control::cmdCancel) || FindProgramWindow("#32770"); },
      10000);
  if (saw_busy && Visible(main, veracap::Control::cmdCancel)) {
    Screenshot("03-quick-test-running");
    Check(!::IsWindowEnabled(Control(main, veracap::Control::cmdQuickTest)) &&
              Visible(main, veracap::Control::cmdQuickTest) &&
              !Visible(main, veracap::Control::cmdVolumeTest) &&
              !Visible(main, veracap::Control::cmdExit),
          "busy: Quick Size Test shown greyed, the other buttons hidden, Cancel shown");
  }
  Box verdict = WaitForBox(120000);
  CheckBox(verdict, "VERACAP", "*** FAILED ***", true);
  Screenshot("04-quick-test-failed");
  AnswerBox(verdict, IDOK);
  Box unplug = WaitForBox(10000);
  CheckBox(unplug, "VERACAP", "Unplug and re-connect the drive", true);
  AnswerBox(unplug, IDOK);
  WaitFor([&] { return !Visible(main, veracap::Control::cmdCancel); }, 10000);
  const std::string quick_log = Text(Control(main, veracap::Control::Text1));
  Check(quick_log.rfind("VERACAP v1.1.1  [Qmx]\r\nDRIVE ", 0) == 0,
        "log begins with the title line and the drive");
  Check(Contains(quick_log, "BAD MEMORY from sector 8388608") &&
            Contains(quick_log, "*** FAILED ***"),
        "log: FAILED, bad memory from 4 GiB on");
  CheckIdle(main, "after the Quick Size Test");
  Screenshot("05-quick-test-log");

  // Exit: the closing message, then the program ends.
  Box bye = ClickAndWaitForBox(Control(main, veracap::Control::cmdExit), 10000);
  CheckBox(bye, "VERACAP", "Thanks for using VERACAP - Please visit WWW.VERACAP.EXAMPLE for more");
  Screenshot("06-exit-message");
  AnswerBox(bye, IDOK);
  const int code = WaitForEnd(20000);
  Check(code == 0, "program ended after Exit (exit code " + std::to_string(code) + ")");
  const std::string exit_report = ReadFile(report);
  Check(exit_report.rfind("open handles 0\n", 0) == 0, "no handle left open at the end");
}

// Starts a Quick Size Test on the chosen entry: the button, then OK twice.
// True once the test is writing its markers.
bool StartQuickTest(HWND main) {
  Box first = ClickAndWaitForBox(Control(main, veracap::Control::cmdQuickTest), 10000);
  if (!first.hwnd || !AnswerBox(first, IDOK)) return false;
  Box second = WaitForBox(10000);
  if (!second.hwnd || !AnswerBox(second, IDOK)) return false;
  return WaitFor(
      [&] { return Contains(Text(Control(main, veracap::Control::Text1)), "% complete"); }, 30000);
}

// The close box in the caption, clicked like any other button.
void ClickCloseBox(HWND main) {
  RECT window{};
  ::GetWindowRect(main, &window);
  const int y = window.top + ::GetSystemMetrics(SM_CYFRAME) + ::GetSystemMetrics(SM_CYCAPTION) / 2;
  int close_x = -1;
  for (int x = window.right - 2; x > window.right - 120; --x) {
    if (::SendMessageA(main, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
      close_x = x - 4;
      break;
    }
  }
  Check(close_x >= 0, "found the close box");
  // Wine follows a press on a caption button in a loop of its own; a press
  // as short as a program's would end before that loop looks.
  if (close_x >= 0) ClickAt(close_x, y, 300);
}

// Starts the program and closes its About box; the main window, or null.
HWND StartToMainWindow(const std::string& program, const std::string& report) {
  Check(StartProgram(program, report), "program started");
  Box about = WaitForBox(60000);
  if (!about.hwnd || !AnswerBox(about, IDOK)) return nullptr;
  HWND main = nullptr;
  WaitFor(
      [&] { return (main = ::FindWindowA("VeracapForm1", nullptr)) && ::IsWindowVisible(main); },
      10000);
  Check(main != nullptr, "main window shown");
  Pause(300);
  return main;
}

// Run 2: the window is closed while a Quick Size Test runs.
void CloseDuringTest(const std::string& program, const std::string& report) {
  std::printf("== closing the window during a Quick Size Test ==\n");
  HWND main = StartToMainWindow(program, report);
  if (!main) return;
  const std::vector<std::string> items = ComboItems(Control(main, veracap::Control::Combo1));
  const int big = FindEntry(items, "FAKE2TB");
  Check(big >= 0 && ChooseEntry(main, big), "chose the \"2 TB\" counterfeit");

  // Cancel, clicked while the test runs, is seen at the test's next yield.
  Check(StartQuickTest(main), "the test is writing");
  Click(Control(main, veracap::Control::cmdCancel));
  Check(WaitFor(
            [&] {
              return !Visible(main, veracap::Control::cmdCancel) &&
                     Contains(Text(Control(main, veracap::Control::Text1)), "\r\nTEST ABORTED!");
            },
            30000),
        "Cancel stopped the test: TEST ABORTED!, idle again");
  Screenshot("07-cancelled");

  // Once more, and this time the window is closed.
  Check(StartQuickTest(main), "the test is writing again");
  Screenshot("08-closing-during-test");

  ClickCloseBox(main);
  // The window closes once the test has let go; a box the test still shows
  // on its way out is answered as a user would.
  int code = -1;
  for (int waited = 0; waited < 120 && code == -1; ++waited) {
    code = WaitForEnd(1000);
    if (code != -1) break;
    if (Box box = WaitForBox(0); box.hwnd) {
      std::printf("     after the close: box %s: %s\n", Quote(box.title).c_str(),
                  Quote(box.text).c_str());
      AnswerBox(box, IDOK);
    }
  }
  Check(code == 0, "program ended after the close (exit code " + std::to_string(code) + ")");
  const std::string exit_report = ReadFile(report);
  Check(exit_report.rfind("open handles 0\n", 0) == 0, "no handle left open");
  // Every volume of the disk was locked, and the last request it got unlocked it.
  std::string last_for_g;
  std::istringstream lines(exit_report);
  bool locked = false;
  for (std::string line; std::getline(lines, line);) {
    if (Contains(line, "FSCTL_LOCK_VOLUME G:")) locked = true;
    if (Contains(line, "_VOLUME G:")) last_for_g = line;
  }
  Check(locked && last_for_g == "FSCTL_UNLOCK_VOLUME G:",
        "volume G: was locked and is unlocked at the end (" + Quote(last_for_g) + ")");
}

// The system colours of a High Contrast Black scheme, set for run 3 and
// given back afterwards. Wine does not report a High Contrast theme
// (SPI_GETHIGHCONTRAST), so the program is told by VERACAP_HIGH_CONTRAST
// to draw as under one.
constexpr int kSchemeElements[] = {
    COLOR_WINDOW,        COLOR_WINDOWTEXT,    COLOR_BTNFACE,     COLOR_BTNTEXT,    COLOR_HIGHLIGHT,
    COLOR_HIGHLIGHTTEXT, COLOR_HOTLIGHT,      COLOR_GRAYTEXT,    COLOR_3DHILIGHT,  COLOR_3DSHADOW,
    COLOR_WINDOWFRAME,   COLOR_ACTIVECAPTION, COLOR_CAPTIONTEXT, COLOR_3DDKSHADOW, COLOR_3DLIGHT};
constexpr COLORREF kHighContrastBlack[] = {
    RGB(0, 0, 0),       RGB(255, 255, 255), RGB(0, 0, 0),       RGB(255, 255, 255),
    RGB(26, 235, 255),  RGB(0, 0, 0),       RGB(255, 255, 0),   RGB(63, 242, 63),
    RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255), RGB(0, 0, 128),
    RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255)};

// The colour of the screen at a point of a control, inset from its corner.
COLORREF PixelIn(HWND control, int inset_x, int inset_y) {
  RECT r{};
  ::GetWindowRect(control, &r);
  HDC screen = ::GetDC(nullptr);
  const COLORREF colour = ::GetPixel(screen, r.left + inset_x, r.top + inset_y);
  ::ReleaseDC(nullptr, screen);
  return colour;
}

std::wstring ClipboardUnicode() {
  std::wstring text;
  if (!::OpenClipboard(nullptr)) return text;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* p = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = p;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

// Run 3: High Contrast colours, slow reads, the clipboard, a dpi change.
void HighContrastSlowReads(const std::string& program, const std::string& report) {
  std::printf("== High Contrast, slow reads, clipboard, dpi change ==\n");
  constexpr int kCount = static_cast<int>(std::size(kSchemeElements));
  COLORREF saved[kCount];
  for (int i = 0; i < kCount; ++i) saved[i] = ::GetSysColor(kSchemeElements[i]);
  ::SetSysColors(kCount, kSchemeElements, kHighContrastBlack);
  ::SetEnvironmentVariableA("VERACAP_HIGH_CONTRAST", "1");
  HWND main = StartToMainWindow(program, report);
  ::SetEnvironmentVariableA("VERACAP_HIGH_CONTRAST", nullptr);
  if (main) {
    Screenshot("09-high-contrast");
    using C = veracap::Control;
    // The theme's colours, not the light fixed ones (grey, blue, yellow).
    Check(PixelIn(Control(main, C::Text1), 40, 40) == RGB(0, 0, 0), "results box: window colour");
    Check(PixelIn(Control(main, C::cmdQuickTest), 5, 5) == RGB(0, 0, 0),
          "Quick Size Test button: button face");
    Check(PixelIn(Control(main, C::Combo1), 3, 3) == RGB(0, 0, 0), "drive list: window colour");

    const std::vector<std::string> items = ComboItems(Control(main, C::Combo1));
    const int slow = FindEntry(items, "SLOW");
    Check(slow >= 0 && ChooseEntry(main, slow), "chose the slow stick");
    Check(StartQuickTest(main), "the test is writing");
    bool hung = false;
    Box verdict;
    for (int waited = 0; waited < 240 && !verdict.hwnd; ++waited) {
      if (::IsHungAppWindow(main)) hung = true;
      verdict = WaitForBox(500);
    }
    Check(Contains(Text(Control(main, C::Text1)), "*** ERROR *** reading from drive 4"),
          "the slow reads failed");
    Check(!hung, "the window was never taken for hung (IsHungAppWindow)");
    Screenshot("10-high-contrast-verdict");
    for (int box = 0; box < 3 && verdict.hwnd; ++box) {
      AnswerBox(verdict, IDOK);
      verdict = WaitForBox(3000);
    }
    WaitFor([&] { return !Visible(main, C::cmdCancel); }, 10000);

    // Copy puts the log on the clipboard, as text in UTF-16 too.
    ::OpenClipboard(nullptr);
    ::EmptyClipboard();
    ::CloseClipboard();
    Click(Control(main, C::cmdCopy));
    const std::string log = Text(Control(main, C::Text1));
    std::wstring copied;
    WaitFor([&] { return !(copied = ClipboardUnicode()).empty(); }, 5000);
    Check(!log.empty() && copied == std::wstring(log.begin(), log.end()),
          "the log is on the clipboard as Unicode text");

    // On a monitor of 144 dpi the drawn list measures its entries afresh.
    ::SendMessageA(main, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(144, 144), 0);
    const LRESULT item = ::SendMessageA(Control(main, C::Combo1), CB_GETITEMHEIGHT, 0, 0);
    Check(item == win32::ListItemHeight(SpecOf(C::Combo1), 144),
          "list entries measured again at 144 dpi (" + std::to_string(item) + " pixels)");
    // The window has grown past the screen's edge, with its close box.
    ::PostMessageA(main, WM_CLOSE, 0, 0);
    const int code = WaitForEnd(20000);
    Check(code == 0, "program ended after the close (exit code " + std::to_string(code) + ")");
  }
  ::SetSysColors(kCount, kSchemeElements, saved);
}

}  // namespace
}  // namespace veracap::gui

int main(int argc, char** argv) {
  using namespace veracap::gui;
  if (argc != 3) {
    std::fprintf(stderr, "usage: veracap-gui-driver PROGRAM SCREENSHOT_FOLDER\n");
    return 2;
  }
  // Real pixels: the driver measures the program's window.
  if (auto set_aware = reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void*>(
          ::GetProcAddress(::GetModuleHandleA("user32.dll"), "SetProcessDPIAware")))) {
    set_aware();
  }
  const std::string program = argv[1];
  g_screenshots = argv[2];
  ::CreateDirectoryA(g_screenshots.c_str(), nullptr);
  const std::string folder = program.substr(0, program.find_last_of('\\'));
  if (!std::getenv("VERACAP_GUI_SKIP_FULL")) FullRun(program, folder + "\\exit-report-1.txt");
  KillProgram();
  CloseDuringTest(program, folder + "\\exit-report-2.txt");
  KillProgram();
  HighContrastSlowReads(program, folder + "\\exit-report-3.txt");
  KillProgram();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
