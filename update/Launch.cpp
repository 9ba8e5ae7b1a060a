#include "update/Busy.h"
#include "update/F_Main.h"

#include <cstdlib>

namespace quennel {

void F_Main::LaunchTarget(bool withMarker) {
  platform_.PumpEvents();
  if (withMarker) ExtraArgs += std::string(" ") + kMarker;
  const std::string commandLine = "\"" + DestPath + "\" " + ExtraArgs;
  // A writer outside Quennel may be finishing with the file: give it a moment.
  RetryWhileBusy(platform_, kStartBusyLimit, [&] { platform_.StartProgram(commandLine, WindowMode::Normal); });
  platform_.SetPointer(PointerShape::Default);
  platform_.End(kExitStarted);
  std::abort();  // guards against an End that returns: nothing may run on
}

}  // namespace quennel
