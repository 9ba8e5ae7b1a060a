#include "platform/win32/Options.h"

#include <string_view>
#include <vector>

#include "platform/WindowsQuoting.h"
#include "platform/win32/EventLog.h"
#include "platform/win32/Win32Texts.h"
#include "update/Texts.h"
#include "update/Verify.h"

namespace quennel::win32 {
namespace {

/// Registers or removes the event source: silent when it works, a box
/// saying why when Windows refuses (not run as administrator).
int ChangeEventSource(void (*change)(), const char* failed, Screen& screen) {
  try {
    change();
    return kExitStarted;
  } catch (const PlatformError& failure) {
    screen.ShowMessage(failed + std::string(failure.what()), MessageStyle::Warning, std::nullopt);
    return kExitFailure;
  }
}

}  // namespace

std::optional<int> RunOption(const std::string& tail, Platform platform) {
  const std::vector<std::string> words = SplitArguments(tail);
  if (words.size() != 1) return std::nullopt;
  const std::string& option = words.front();
  if (option == kRegisterOption)
    return ChangeEventSource(RegisterAsEventSource, quennel::texts::kRegisterFailed, platform.screen);
  if (option == kUnregisterOption)
    return ChangeEventSource(UnregisterAsEventSource, texts::kUnregisterFailed, platform.screen);
  if (option.starts_with(kVerifyOption)) {
    const Verdict verdict = VerifyVersion(platform, option.substr(std::string_view(kVerifyOption).size()));
    platform.screen.ShowMessage(verdict.text, verdict.accepted ? MessageStyle::Information : MessageStyle::Warning,
                                quennel::texts::kProgramTitle);
    return verdict.accepted ? kExitStarted : kExitFailure;
  }
  return std::nullopt;
}

}  // namespace quennel::win32
