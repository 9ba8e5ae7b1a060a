/// Start-up on Windows: the parts of the platform, then F_Main's run.

#include <windows.h>

#include "platform/win32/EventLog.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/Win32Process.h"
#include "platform/win32/Win32Screen.h"
#include "update/F_Main.h"

namespace {

/// `quennel --register-event-source`, as an administrator: the Event Viewer
/// can then read Quennel's events. Nothing shows when it works; a box says
/// why it did not.
int RegisterEventSourceOption(quennel::Screen& screen) {
  try {
    quennel::win32::RegisterAsEventSource();
    return 0;
  } catch (const quennel::PlatformError& failure) {
    screen.ShowMessage(quennel::texts::kRegisterFailed + std::string(failure.what()),
                       quennel::MessageStyle::Warning, std::nullopt);
    return quennel::kExitFailure;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace quennel;
  win32::Win32Files files;
  win32::Win32Process process;
  win32::Win32Screen screen;
  win32::EventLog log;
  // Alone, an option is no valid command line (two paths are needed): it
  // takes nothing from what works.
  std::string tail = process.CommandTail();
  tail.erase(tail.find_last_not_of(" \t") + 1);
  if (tail == win32::kRegisterOption) return RegisterEventSourceOption(screen);
  RunQuennel({files, process, screen, log});
}
