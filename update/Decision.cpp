#include "update/F_Main.h"

namespace quennel {

void F_Main::DecisionStage() {
  platform_.screen.PumpEvents();
  // The dot test looks at the whole path, folders included.
  const std::string suffix = platform_.process.ProgramSuffix();
  if (SourcePath.find('.') == std::string::npos) SourcePath += suffix;
  if (DestPath.find('.') == std::string::npos) DestPath += suffix;
  platform_.screen.PumpEvents();

  if (DestPath == SourcePath) LaunchTarget(true);
  if (!ReplacementDue()) LaunchTarget(true);
}

bool F_Main::ReplacementDue() {
  const auto source = Examine(SourcePath);
  if (!FileExists(source)) return false;
  newVersion_ = source;
  const auto dest = Examine(DestPath);
  if (!FileExists(dest)) return true;
  return dest->modified < source->modified;
}

}  // namespace quennel
