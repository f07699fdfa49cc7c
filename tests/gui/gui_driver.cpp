// A smoke test of veracap-emulated.exe through its real window, as a person
// clicks it: real mouse input (SendInput), message boxes found on the screen
// and answered, screenshots taken. The window's geometry is the layout tests'
// to prove and its texts the core's; this shows that the clicks work.
//
//   veracap-gui-driver.exe PROGRAM SCREENSHOT_FOLDER
//
// Run 1: About, a Quick Size Test on the "32 GB" counterfeit (FAILED),
// another cancelled, Exit. Run 2, in a High Contrast colour scheme: reads
// that stall for seconds without the window ever taken for hung, Copy, 144
// dpi, and the window closed during a test, which must leave no volume locked
// and no handle open. One line per check, then "N passed, N failed".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "app/window_model.h"
#include "platform/win32/windows_api.h"
#include "shell/startup.h"
#include "win32/layout.h"
// After windows.h, with what its lean form leaves out:
#include <objidl.h>
// After both:
#include <gdiplus.h>

namespace veracap::gui {
namespace {

using C = veracap::Control;

int g_passed = 0, g_failed = 0;
std::string g_shots;
DWORD g_pid = 0;
HANDLE g_process = nullptr;

bool Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  (ok ? g_passed : g_failed)++;
  return ok;
}

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    ::Sleep(25);
  }
  return true;
}

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// Asked for in UTF-16, with room to spare: Wine's cross-process ANSI replies
// can overrun the caller's buffer. The program's texts are ASCII.
std::string Text(HWND hwnd, UINT message = WM_GETTEXT, WPARAM item = 0) {
  const UINT length_message = message == WM_GETTEXT ? WM_GETTEXTLENGTH : CB_GETLBTEXTLEN;
  const LRESULT length = ::SendMessageW(hwnd, length_message, item, 0);
  std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) * 2 + 64, L'\0');
  ::SendMessageW(hwnd, message, message == WM_GETTEXT ? text.size() : item,
                 reinterpret_cast<LPARAM>(text.data()));
  text.resize(text.find(L'\0'));
  return std::string(text.begin(), text.end());
}

std::string Quote(std::string text) {
  std::erase(text, '\n');
  std::replace(text.begin(), text.end(), '\r', '|');
  return "\"" + text.substr(0, 90) + "\"";
}

// A visible top-level window of the program, of that class.
HWND FindProgramWindow(const char* window_class) {
  for (HWND hwnd = nullptr; (hwnd = ::FindWindowExA(nullptr, hwnd, window_class, nullptr));) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (pid == g_pid && ::IsWindowVisible(hwnd)) return hwnd;
  }
  return nullptr;
}

// A message box of the program: its window, title and text.
struct Box {
  HWND hwnd = nullptr;
  std::string title, text;
};

Box WaitForBox(int timeout_ms) {
  Box box;
  WaitFor([&] { return (box.hwnd = FindProgramWindow("#32770")) != nullptr; }, timeout_ms);
  if (box.hwnd) {
    // Clicks before the box has taken the focus can be lost.
    WaitFor([&] { return ::GetForegroundWindow() == box.hwnd; }, 2000);
    ::Sleep(150);
    box.title = Text(box.hwnd);
    box.text = Text(::GetDlgItem(box.hwnd, 0xFFFF));
  }
  return box;
}

void Mouse(DWORD flags, int x = 0, int y = 0) {
  const int w = ::GetSystemMetrics(SM_CXSCREEN) - 1, h = ::GetSystemMetrics(SM_CYSCREEN) - 1;
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi = {(x * 65535 + w / 2) / w, (y * 65535 + h / 2) / h, 0, flags, 0, 0};
  ::SendInput(1, &input, sizeof input);
}

// The pointer comes from a little way off, as a hand's would: a window that
// appeared under a pointer that never moved may not see the press. The way
// stays inside the target, since Wine may deliver a move after the press.
void ClickAt(int x, int y, int hold_ms = 40) {
  Mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x - 3, y - 2);
  ::Sleep(50);
  Mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y);
  ::Sleep(60 + hold_ms);
  Mouse(MOUSEEVENTF_LEFTDOWN);
  ::Sleep(hold_ms);
  Mouse(MOUSEEVENTF_LEFTUP);
  ::Sleep(100);
}

void Click(HWND hwnd) {
  RECT r{};
  ::GetWindowRect(hwnd, &r);
  ClickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

// Clicks the box's button, again if the click came while the box was still
// being activated (as a person would). Wine may give the next box the same
// handle, so the box is known by its title and text.
bool AnswerBox(const Box& box) {
  const auto gone = [&] {
    return !::IsWindowVisible(box.hwnd) || Text(box.hwnd) != box.title ||
           Text(::GetDlgItem(box.hwnd, 0xFFFF)) != box.text;
  };
  for (int attempt = 0; attempt < 3 && ::GetDlgItem(box.hwnd, IDOK); ++attempt) {
    Click(::GetDlgItem(box.hwnd, IDOK));
    if (WaitFor(gone, 3000)) return true;
  }
  return false;
}

HWND Control(HWND main, C c) { return ::GetDlgItem(main, win32::ControlId(c)); }
bool Busy(HWND main) { return ::IsWindowVisible(Control(main, C::cmdCancel)); }
std::string Log(HWND main) { return Text(Control(main, C::Text1)); }

// Answers a box and those that follow it while the program is busy.
void AnswerBoxes(HWND main, Box box) {
  for (int n = 0; n < 4 && box.hwnd && AnswerBox(box); ++n) {
    WaitFor([&] { return FindProgramWindow("#32770") || !Busy(main); }, 3000);
    box = WaitForBox(0);
  }
}

// The screen (Wine's desktop), once painted, saved as NAME.png by GDI+.
void Screenshot(const std::string& name) {
  ::Sleep(250);
  const int w = ::GetSystemMetrics(SM_CXSCREEN), h = ::GetSystemMetrics(SM_CYSCREEN);
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  ::SelectObject(memory, old);
  using namespace Gdiplus::DllExports;
  static const CLSID kPngEncoder = {
      0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
  const std::string path = g_shots + "\\" + name + ".png";
  Gdiplus::GpBitmap* image = nullptr;
  Check(GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok &&
            GdipSaveImageToFile(image, std::wstring(path.begin(), path.end()).c_str(), &kPngEncoder,
                                nullptr) == Gdiplus::Ok,
        "screenshot " + name + ".png");
  GdipDisposeImage(image);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
}

// Starts the program with its exit report beside it: the About box first,
// answered, then the window with its caption.
HWND Start(const std::string& program, const std::string& report, const std::string& about_shot) {
  ::SetEnvironmentVariableA("VERACAP_EXIT_REPORT", report.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string command = "\"" + program + "\"";
  const std::string folder = program.substr(0, program.find_last_of('\\'));
  if (!Check(::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &info),
             "program started")) {
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  g_process = info.hProcess;
  g_pid = info.dwProcessId;
  const Box about = WaitForBox(60000);
  Check(about.title == "About Veracap" && !FindProgramWindow("VeracapForm1"),
        "the About box before the window");
  Screenshot(about_shot);
  HWND main = nullptr;
  Check(AnswerBox(about) &&
            WaitFor([&] { return (main = FindProgramWindow("VeracapForm1")) != nullptr; }, 10000) &&
            Text(main) == TitleLine(),
        "the window after the About box, with its caption");
  ::Sleep(300);
  return main;
}

// Waits for the program to end; checks its exit code and what it left behind.
// A box on the way out (a test that ran on after the close, to its verdict)
// fails the check, and is answered so that the program can end.
std::string WaitForEnd(const std::string& report) {
  DWORD code = 99;
  for (int waited = 0; waited < 120 && g_process; ++waited) {
    if (::WaitForSingleObject(g_process, 1000) == WAIT_OBJECT_0) {
      ::GetExitCodeProcess(g_process, &code);
      ::CloseHandle(g_process);
      g_process = nullptr;
    } else if (Box box = WaitForBox(0); box.hwnd) {
      Check(false, "no box on the way out: " + Quote(box.text));
      AnswerBox(box);
    }
  }
  Check(code == 0, "program ended (exit code " + std::to_string(code) + ")");
  std::ostringstream text;
  text << std::ifstream(report, std::ios::binary).rdbuf();
  Check(text.str().rfind("open handles 0\n", 0) == 0, "no handle left open");
  return text.str();
}

// Opens the drive list with a click and clicks the entry that holds label;
// then a Quick Size Test, OK to both warnings: true once it writes.
bool StartQuickTest(HWND main, const std::string& label) {
  HWND combo = Control(main, C::Combo1);
  int index = static_cast<int>(::SendMessageW(combo, CB_GETCOUNT, 0, 0)) - 1;
  while (index >= 0 && !Contains(Text(combo, CB_GETLBTEXT, index), label)) --index;
  for (int attempt = 0; index >= 0 && attempt < 3; ++attempt) {
    Click(combo);
    HWND list = nullptr;
    if (!WaitFor([&] { return (list = FindProgramWindow("ComboLBox")) != nullptr; }, 3000))
      continue;
    ::Sleep(300);
    const int item_height = static_cast<int>(::SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
    const int top = static_cast<int>(::SendMessageW(list, LB_GETTOPINDEX, 0, 0));
    POINT origin{0, 0};
    ::ClientToScreen(list, &origin);
    ClickAt(origin.x + 30, origin.y + (index - top) * item_height + item_height / 2);
    if (WaitFor([&] { return ::SendMessageW(combo, CB_GETCURSEL, 0, 0) == index; }, 2000)) break;
    ::SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
  }
  if (!Check(index >= 0 && ::SendMessageW(combo, CB_GETCURSEL, 0, 0) == index, "chose " + label))
    return false;
  Click(Control(main, C::cmdQuickTest));
  for (int warning = 0; warning < 2; ++warning) {
    const Box box = WaitForBox(10000);
    if (!Check(box.title == "Quick Size Test" && AnswerBox(box), "OK to " + Quote(box.text))) {
      return false;
    }
  }
  return Check(WaitFor([&] { return Contains(Log(main), "% complete"); }, 30000),
               "the test is writing");
}

// Run 1: About, the counterfeit to FAILED, a cancelled test, Exit.
void FullRun(const std::string& program, const std::string& report) {
  std::printf("== About, Quick Size Test, Cancel, Exit ==\n");
  HWND main = Start(program, report, "01-about-box");
  if (!main) return;
  Screenshot("02-startup");
  if (!StartQuickTest(main, "FAKE32")) return;
  Screenshot("03-quick-test-running");
  const Box verdict = WaitForBox(120000);
  Check(Contains(verdict.text, "*** FAILED ***"), "verdict " + Quote(verdict.text));
  Screenshot("04-quick-test-failed");
  AnswerBoxes(main, verdict);  // and "Unplug..."
  Screenshot("05-quick-test-log");

  // Cancel, clicked while a test runs, is seen at the test's next yield.
  if (!StartQuickTest(main, "FAKE2TB")) return;
  Click(Control(main, C::cmdCancel));
  Check(WaitFor([&] { return !Busy(main) && Contains(Log(main), "\r\nTEST ABORTED!"); }, 30000),
        "Cancel stopped the test");
  Screenshot("06-cancelled");

  Click(Control(main, C::cmdExit));
  const Box bye = WaitForBox(10000);
  Check(Contains(bye.text, "Thanks for using VERACAP"), "Exit: " + Quote(bye.text));
  Screenshot("07-exit-message");
  AnswerBox(bye);
  WaitForEnd(report);
}

bool BlackAt(HWND control, int inset) {
  RECT r{};
  ::GetWindowRect(control, &r);
  HDC screen = ::GetDC(nullptr);
  const COLORREF colour = ::GetPixel(screen, r.left + inset, r.top + inset);
  ::ReleaseDC(nullptr, screen);
  return colour == RGB(0, 0, 0);
}

// Run 2, in a High Contrast Black scheme: slow reads never taken for a hung
// window, Copy, a dpi change, and a close during a test. Wine reports no High
// Contrast theme (SPI_GETHIGHCONTRAST), so the program is told by
// VERACAP_HIGH_CONTRAST to draw as under one; the colours are given back.
void HighContrastRun(const std::string& program, const std::string& report) {
  std::printf("== High Contrast: slow reads, Copy, 144 dpi, closing during a test ==\n");
  constexpr int kElements[] = {COLOR_WINDOW,      COLOR_WINDOWTEXT,  COLOR_BTNFACE,
                               COLOR_BTNTEXT,     COLOR_HIGHLIGHT,   COLOR_HIGHLIGHTTEXT,
                               COLOR_HOTLIGHT,    COLOR_GRAYTEXT,    COLOR_3DHILIGHT,
                               COLOR_3DSHADOW,    COLOR_WINDOWFRAME, COLOR_ACTIVECAPTION,
                               COLOR_CAPTIONTEXT, COLOR_3DDKSHADOW,  COLOR_3DLIGHT};
  constexpr COLORREF kWhite = RGB(255, 255, 255);
  constexpr COLORREF kBlackScheme[] = {
      RGB(0, 0, 0), kWhite,           RGB(0, 0, 0),     kWhite, RGB(26, 235, 255),
      RGB(0, 0, 0), RGB(255, 255, 0), RGB(63, 242, 63), kWhite, kWhite,
      kWhite,       RGB(0, 0, 128),   kWhite,           kWhite, kWhite};
  constexpr int kCount = static_cast<int>(std::size(kElements));
  COLORREF saved[kCount];
  for (int i = 0; i < kCount; ++i) saved[i] = ::GetSysColor(kElements[i]);
  ::SetSysColors(kCount, kElements, kBlackScheme);
  ::SetEnvironmentVariableA("VERACAP_HIGH_CONTRAST", "1");
  HWND main = Start(program, report, "08-high-contrast-about");
  ::SetEnvironmentVariableA("VERACAP_HIGH_CONTRAST", nullptr);
  if (main) {
    Screenshot("09-high-contrast");
    // The scheme's black, not the light fixed colours (grey, blue, yellow).
    Check(BlackAt(Control(main, C::Text1), 40) && BlackAt(Control(main, C::cmdQuickTest), 5) &&
              BlackAt(Control(main, C::Combo1), 3),
          "results box, a coloured button and the drive list in the scheme's colours");

    // Eight reads stall 0.9 s each between two yields.
    if (StartQuickTest(main, "SLOW")) {
      bool hung = false;
      Box verdict;
      for (int waited = 0; waited < 240 && !verdict.hwnd; ++waited) {
        hung = hung || ::IsHungAppWindow(main);
        verdict = WaitForBox(500);
      }
      Check(Contains(Log(main), "*** ERROR *** reading from drive 4") && !hung,
            "reads stalled, the window never taken for hung (IsHungAppWindow)");
      Screenshot("10-high-contrast-verdict");
      AnswerBoxes(main, verdict);
    }

    // Copy, once idle, puts the log on the clipboard as UTF-16 text too.
    WaitFor([&] { return !Busy(main) && !FindProgramWindow("#32770"); }, 10000);
    Click(Control(main, C::cmdCopy));
    const std::string log = Log(main);
    std::wstring copied;
    WaitFor([&] {
      HANDLE data = ::OpenClipboard(nullptr) ? ::GetClipboardData(CF_UNICODETEXT) : nullptr;
      if (const auto* text = data ? static_cast<const wchar_t*>(::GlobalLock(data)) : nullptr) {
        copied = text;
        ::GlobalUnlock(data);
      }
      ::CloseClipboard();
      return !copied.empty();
    }, 5000);
    Check(!log.empty() && copied == std::wstring(log.begin(), log.end()),
          "the log (" + std::to_string(log.size()) + " characters) is on the clipboard as " +
              "CF_UNICODETEXT (" + std::to_string(copied.size()) + ")");

    // On a monitor of 144 dpi the drawn list measures its entries afresh;
    // then back to 96, where the close box is on the screen.
    ::SendMessageA(main, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(144, 144), 0);
    const LRESULT item = ::SendMessageA(Control(main, C::Combo1), CB_GETITEMHEIGHT, 0, 0);
    Check(item == win32::ListItemHeight(SpecOf(C::Combo1), 144),
          "list entries measured again at 144 dpi (" + std::to_string(item) + " pixels)");
    ::SendMessageA(main, 0x02E0, MAKEWPARAM(96, 96), 0);

    // The close box during a test, clicked like any other button (held:
    // Wine follows a press on a caption button in a loop of its own). The
    // window closes once the test has let go, every volume of the disk
    // locked and then unlocked.
    if (StartQuickTest(main, "FAKE2TB")) {
      Screenshot("11-closing-during-test");
      RECT window{};
      ::GetWindowRect(main, &window);
      const int y =
          window.top + ::GetSystemMetrics(SM_CYFRAME) + ::GetSystemMetrics(SM_CYCAPTION) / 2;
      int x = window.right - 2;
      while (x > window.right - 120 &&
             ::SendMessageA(main, WM_NCHITTEST, 0, MAKELPARAM(x, y)) != HTCLOSE)
        --x;
      ClickAt(x - 4, y, 300);
      std::istringstream requests(WaitForEnd(report));
      bool locked = false;
      std::string last;
      for (std::string line; std::getline(requests, line);) {
        locked = locked || Contains(line, "FSCTL_LOCK_VOLUME G:");
        if (Contains(line, "_VOLUME G:")) last = line;
      }
      Check(locked && last == "FSCTL_UNLOCK_VOLUME G:", "G: locked, then unlocked: " + Quote(last));
    }
  }
  ::SetSysColors(kCount, kElements, saved);
}

}  // namespace
}  // namespace veracap::gui

int main(int argc, char** argv) {
  using namespace veracap::gui;
  if (argc != 3) return 2;
  ::SetProcessDPIAware();  // real pixels: the driver clicks into the program's window
  Gdiplus::GdiplusStartupInput gdiplus;
  ULONG_PTR gdiplus_token = 0;
  Gdiplus::GdiplusStartup(&gdiplus_token, &gdiplus, nullptr);
  const std::string program = argv[1];
  g_shots = argv[2];
  const std::string folder = program.substr(0, program.find_last_of('\\'));
  FullRun(program, folder + "\\exit-report-1.txt");
  if (g_process) ::TerminateProcess(g_process, 99);
  HighContrastRun(program, folder + "\\exit-report-2.txt");
  if (g_process) ::TerminateProcess(g_process, 99);
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
