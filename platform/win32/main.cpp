/// Start-up on Windows: create F_Main and run its load handler.

#include <windows.h>

#include <exception>

#include "platform/win32/Win32Platform.h"
#include "update/F_Main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace quennel;
  win32::Win32Platform platform;
  try {
    F_Main form(platform);
    form.Form_Load();
  } catch (const PlatformError& failure) {
    platform.ReportFailure(failure.what());
  } catch (const std::exception& failure) {
    platform.ReportFailure(failure.what());
  }
  platform.End(kExitFailure);
}
