#include "update/Clock.h"
#include "update/F_Main.h"
#include "update/Lock.h"
#include "update/Outcomes.h"
#include "update/OwnNames.h"
#include "update/Staging.h"

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
  // Installed, a time ahead of the clock would keep every later version
  // out; it goes in once the clock has passed it.
  const FileStamp clock = platform_.process.Clock();
  if (AheadOf(newVersion_->modified, clock)) {
    RecordRun(RecordKind::GaveUp, NotYetDueText(texts::kVersionDated, newVersion_->modified, clock));
    LaunchTarget(true);
  }
  if (!SourceSettles(clock)) {
    RecordRun(RecordKind::GaveUp, texts::kStillPublished);
    LaunchTarget(true);
  }
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
  firstInstall_ = !dest;
  if (!FileExists(dest)) return true;
  if (dest->modified < source->modified) return true;
  // A copy installed with a time ahead of the clock (before the rule
  // above, or by hand) yields to any version that is not itself ahead.
  const FileStamp clock = platform_.process.Clock();
  return AheadOf(dest->modified, clock) && !AheadOf(source->modified, clock);
}

bool F_Main::SourceSettles(const FileStamp& clock) {
  // The look the copy is checked against, asked of the server itself.
  try {
    sourceLook_ = platform_.files.StatFresh(SourcePath);
  } catch (const PlatformError&) {
    return true;  // gone: the copy finds out and says so
  }
  // Changed lately, or on a volume that keeps no change time: a publisher
  // may be writing it in place. It must stand still between two looks.
  unsettled_ = !Settled(sourceLook_->changed, clock);
  if (!unsettled_) return true;
  const auto looked = platform_.process.Now();
  for (auto waited = platform_.process.Now() - looked; waited < kSettleLook;
       waited = platform_.process.Now() - looked) {
    platform_.screen.PumpEvents();
    platform_.process.Pause(std::chrono::ceil<std::chrono::milliseconds>(kSettleLook - waited));
  }
  try {
    return SameVersion(*sourceLook_, platform_.files.StatFresh(SourcePath));
  } catch (const PlatformError&) {
    return false;
  }
}

}  // namespace quennel
