#include "update/F_Main.h"

namespace quennel {

void F_Main::DecisionStage() {
  platform_.PumpEvents();
  // The dot test looks at the whole path, folders included.
  const std::string suffix = platform_.ProgramSuffix();
  if (SourcePath.find('.') == std::string::npos) SourcePath += suffix;
  if (DestPath.find('.') == std::string::npos) DestPath += suffix;
  platform_.PumpEvents();

  if (DestPath == SourcePath) LaunchTarget(true);
  if (!ReplacementDue()) LaunchTarget(true);
}

bool F_Main::ReplacementDue() {
  if (!FileExists(SourcePath)) return false;
  if (!FileExists(DestPath)) return true;
  const FileStamp source = platform_.FileModified(SourcePath);
  const FileStamp dest = platform_.FileModified(DestPath);
  return dest < source;
}

}  // namespace quennel
