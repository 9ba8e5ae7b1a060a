#include "update/F_Main.h"

#include <cstdlib>
#include <exception>

namespace quennel {

void F_Main::Form_Load() {
  platform_.PumpEvents();
  CommandLineStage();
  platform_.PumpEvents();
  if (SourcePath.empty() || DestPath.empty()) UsageExit();
  DecisionStage();
  WindowStage();
  ReplacementStage();
}

void F_Main::UsageExit() {
  platform_.ShowMessage(texts::kUsage, MessageStyle::Information, std::nullopt);
  platform_.End(kExitUsage);
  std::abort();  // guards against an End that returns: nothing may run on
}

bool F_Main::FileExists(const std::string& path) {
  try {
    return (platform_.FileAttributes(path) & kAttributeDirectory) == 0;
  } catch (const PlatformError&) {
    return false;
  }
}

void RunQuennel(Platform& platform, std::chrono::milliseconds busyWaitLimit) {
  try {
    F_Main form(platform, busyWaitLimit);
    form.Form_Load();
  } catch (const std::exception& failure) {
    platform.ShowMessage(texts::kFailureHeading + F_Main::LineBreak() + failure.what(), MessageStyle::Critical,
                         texts::kProgramTitle);
  }
  platform.End(kExitFailure);
  std::abort();  // guards against an End that returns: nothing may run on
}

}  // namespace quennel
