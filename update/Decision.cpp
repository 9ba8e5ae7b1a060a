#include "update/F_Main.h"
#include "update/Lock.h"
#include "update/OwnNames.h"

namespace quennel {

void F_Main::DecisionStage() {
  platform_.screen.PumpEvents();
  // The dot test looks at the whole path, folders included.
  const std::string suffix = platform_.process.ProgramSuffix();
  if (SourcePath.find('.') == std::string::npos) SourcePath += suffix;
  if (DestPath.find('.') == std::string::npos) DestPath += suffix;
  platform_.screen.PumpEvents();

  if (DestPath == SourcePath) LaunchTarget(true);
  if (!ReplacementDue(true)) LaunchTarget(true);
}

bool F_Main::ReplacementDue(bool settle) {
  auto dest = Examine(DestPath);
  // Only where a rename can leave a program aside (Windows).
  if (!dest && settle && OwnKinds(platform_.files.Names()).setAside) {
    // A run killed between its two renames leaves the program set aside:
    // the lock's holder puts it back, so it starts even when the new
    // version is out of reach. Another run at work sees to it itself.
    try {
      const std::unique_ptr<Place> place = platform_.files.Resolve(DestPath, false);
      TakeLock(platform_, *place);
    } catch (const PlatformError&) {
    }
    dest = Examine(DestPath);
  }
  const auto source = Examine(SourcePath);
  if (!FileExists(source)) return false;
  newVersion_ = source;
  if (!FileExists(dest)) return true;
  return dest->modified < source->modified;
}

}  // namespace quennel
