#include "update/Busy.h"
#include "update/F_Main.h"

#include <cstdlib>

namespace quennel {

void F_Main::LaunchTarget(bool withMarker) {
  platform_.screen.PumpEvents();
  if (withMarker) ExtraArgs += std::string(" ") + kMarker;
  try {
    // A writer outside Quennel may be finishing with the file, or another
    // run putting it back: give them a moment.
    RetryWhileBusy(platform_, {kStartBusyLimit, kStartMissingLimit},
                   [&] { platform_.process.StartProgram(DestPath, ExtraArgs); });
  } catch (const PlatformError& failure) {
    RecordRun(RecordKind::NotStarted, failure.what());
    // The report names the program that could not be started.
    throw PlatformError(failure.what() + LineBreak() + "\"" + DestPath + "\"");
  }
  platform_.screen.SetPointer(PointerShape::Default);
  platform_.process.End(kExitStarted);
  std::abort();  // guards against an End that returns: nothing may run on
}

}  // namespace quennel
