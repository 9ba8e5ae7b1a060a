/// Start-up on Windows: the parts of the platform, an option alone, or
/// F_Main's run.

#include <windows.h>

#include "platform/win32/EventLog.h"
#include "platform/win32/Options.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/Win32Process.h"
#include "platform/win32/Win32Screen.h"
#include "update/F_Main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace quennel;
  win32::Win32Files files;
  win32::Win32Process process;
  win32::Win32Screen screen;
  win32::EventLog log;
  const Platform platform{files, process, screen, log};
  if (const std::optional<int> status = win32::RunOption(process.CommandTail(), platform)) return *status;
  RunQuennel(platform);
}
