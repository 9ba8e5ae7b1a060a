/// Start-up on Windows: create F_Main and run its load handler.

#include <windows.h>

#include "platform/win32/Win32Platform.h"
#include "update/F_Main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace quennel;
  win32::Win32Platform platform;
  RunQuennel(platform.Parts());
}
