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

std::string F_Main::ExecutableName() {
  const std::string path = platform_.process.ExecutablePath();
  std::string name = path.substr(path.find_last_of(platform_.files.Names().separators) + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "quennel" : name;
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
