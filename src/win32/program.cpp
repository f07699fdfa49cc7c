#include "win32/program.h"

#include "platform/win32/windows_api.h"
// After windows.h:
#include <objbase.h>

#include "app/context.h"
#include "app/state.h"
#include "win32/main_window.h"

namespace veracap::win32 {

int RunVeracap(void* instance, Platform& platform) {
  // ShellExecute (the web link) wants COM on the calling thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  int exit_code = 0;
  {
    AppState state;
    MainWindow window(instance);
    Context ctx{platform, window, state};
    window.Attach(ctx);
    exit_code = window.Run();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return exit_code;
}

}  // namespace veracap::win32
