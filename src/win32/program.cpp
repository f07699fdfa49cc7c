#include "win32/program.h"

#include "platform/win32/windows_api.h"
// After windows.h:
#include <exdisp.h>
#include <objbase.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

#include "app/context.h"
#include "app/state.h"
#include "platform/platform_wrapper.h"
#include "win32/main_window.h"

namespace veracap::win32 {
namespace {

// An interface pointer released when it goes.
template <typename T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() {
    if (p_) p_->Release();
  }
  T** Out() { return &p_; }
  void** Void() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Whether the program runs with administrator rights raised (what
// veracap.exe's manifest asks for).
bool Elevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool ok =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
  ::CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

// Opens the address through the desktop's own shell (Explorer, which runs
// with the user's ordinary rights), so that the browser does not inherit
// this program's raised ones. False when there is no such shell.
bool OpenThroughDesktopShell(const std::string& address) {
  Com<IShellWindows> windows;
  if (FAILED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                windows.Void()))) {
    return false;
  }
  VARIANT location;
  ::VariantInit(&location);
  location.vt = VT_I4;
  location.lVal = CSIDL_DESKTOP;
  VARIANT none;
  ::VariantInit(&none);
  long hwnd = 0;
  Com<IDispatch> desktop;
  if (windows->FindWindowSW(&location, &none, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH,
                            desktop.Out()) != S_OK ||
      !desktop) {
    return false;
  }
  Com<IServiceProvider> services;
  Com<IShellBrowser> browser;
  Com<IShellView> view;
  Com<IDispatch> background;
  Com<IShellFolderViewDual> folder_view;
  Com<IDispatch> application;
  Com<IShellDispatch2> shell;
  if (FAILED(desktop->QueryInterface(IID_IServiceProvider, services.Void())) ||
      FAILED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Void())) ||
      FAILED(browser->QueryActiveShellView(view.Out())) ||
      FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Void())) ||
      FAILED(background->QueryInterface(IID_IShellFolderViewDual, folder_view.Void())) ||
      FAILED(folder_view->get_Application(application.Out())) ||
      FAILED(application->QueryInterface(IID_IShellDispatch2, shell.Void()))) {
    return false;
  }
  const std::wstring wide(address.begin(), address.end());  // the address is ASCII
  BSTR file = ::SysAllocString(wide.c_str());
  BSTR open = ::SysAllocString(L"open");
  VARIANT operation;
  ::VariantInit(&operation);
  operation.vt = VT_BSTR;
  operation.bstrVal = open;
  VARIANT show;
  ::VariantInit(&show);
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  const HRESULT result = shell->ShellExecute(file, none, none, operation, show);
  ::SysFreeString(open);
  ::SysFreeString(file);
  return SUCCEEDED(result);
}

// The maker's page opens in the user's browser, never in one that runs
// with this program's administrator rights: through the desktop's shell,
// and where that is not possible the address is shown for the user to open.
class UserShell : public PlatformWrapper {
 public:
  UserShell(Platform& target, Window& window) : PlatformWrapper(target), window_(window) {}
  void ShellExecuteOpen(const std::string& url) override {
    if (!Elevated()) return target_.ShellExecuteOpen(url);
    if (OpenThroughDesktopShell(url)) return;
    window_.MessageBox(
        "Veracap runs with administrator rights, which a web browser started from it would "
        "have too. Please open this page in your browser:\r\n\r\n" +
            url,
        kMbOk | kMbIconInformation, "VERACAP");
  }

 private:
  Window& window_;
};

}  // namespace

int RunVeracap(void* instance, Platform& platform, bool force_high_contrast) {
  // ShellExecute (the web link) wants COM on the calling thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  int exit_code = 0;
  {
    AppState state;
    MainWindow window(instance, force_high_contrast);
    UserShell shell(platform, window);
    Context ctx{shell, window, state};
    window.Attach(ctx);
    exit_code = window.Run();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return exit_code;
}

}  // namespace veracap::win32
