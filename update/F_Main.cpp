#include "update/F_Main.h"

#include <cstdlib>
#include <exception>

namespace quennel {

void F_Main::Form_Load() {
  platform_.screen.PumpEvents();
  CommandLineStage();
  platform_.screen.PumpEvents();
  if (SourcePath.empty() || DestPath.empty()) UsageExit();
  DecisionStage();
  WindowStage();
  ReplacementStage();
}

void F_Main::UsageExit() {
  RecordRun(RecordKind::Usage);
  platform_.screen.ShowMessage(texts::kUsage, MessageStyle::Information, std::nullopt);
  platform_.process.End(kExitUsage);
  std::abort();  // guards against an End that returns: nothing may run on
}

std::optional<FileStatus> F_Main::Examine(const std::string& path) {
  try {
    return platform_.files.Stat(path);
  } catch (const PlatformError&) {
    return std::nullopt;
  }
}

void RunQuennel(Platform platform, std::chrono::milliseconds busyWaitLimit) {
  try {
    F_Main form(platform, busyWaitLimit);
    form.Form_Load();
  } catch (const std::exception& failure) {
    platform.screen.ShowMessage(texts::kFailureHeading + F_Main::LineBreak() + failure.what(),
                                MessageStyle::Critical, texts::kProgramTitle);
  }
  platform.process.End(kExitFailure);
  std::abort();  // guards against an End that returns: nothing may run on
}

}  // namespace quennel
