// veracap.exe: the program over the real Windows platform. It takes no
// command line.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "win32/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  veracap::win32::Win32Platform platform;
  return veracap::win32::RunVeracap(instance, platform);
}
