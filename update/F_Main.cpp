#include "update/F_Main.h"

#include <cstdlib>

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
  platform_.ShowMessage(texts::kUsage, kStyleInformation, std::nullopt);
  platform_.End(kExitUsage);
  std::abort();  // End never returns; this only tells the compiler so
}

bool F_Main::FileExists(const std::string& path) {
  try {
    return (platform_.FileAttributes(path) & kAttributeDirectory) == 0;
  } catch (const PlatformError&) {
    return false;
  }
}

}  // namespace quennel
