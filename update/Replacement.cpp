#include "update/F_Main.h"

namespace quennel {

void F_Main::ReplacementStage() {
  platform_.PumpEvents();
  bool CopyOk = true;
  const std::string CopyContext = "Copy " + SourcePath + ", " + DestPath;

  // A failed step is reported once, clears CopyOk, and the next step runs.
  const auto handled = [&](auto&& step) {
    try {
      step();
    } catch (const PlatformError& error) {
      ShowCopyError(error.what(), CopyContext);
      CopyOk = false;
    }
  };
  handled([&] { platform_.PlayBeep(); });
  // The new version goes into a staging file first and replaces the
  // installed copy in one rename, so an interrupted or failed copy never
  // leaves a missing or truncated program behind.
  handled([&] { CommitWhenFree(platform_.StageCopy(SourcePath, DestPath)); });
  if (CopyOk) handled([&] { platform_.PlayBeep(); });

  LaunchTarget(!CopyOk);
}

void F_Main::CommitWhenFree(const std::string& staged) {
  try {
    const auto deadline = platform_.Now() + busyWaitLimit_;
    while (true) {
      try {
        platform_.CommitStaged(staged, DestPath);
        return;
      } catch (const BusyError&) {
        // The installed program is running or open: wait for it, within reason.
        if (platform_.Now() >= deadline) throw;
      }
      platform_.PumpEvents();
      platform_.Pause(kBusyRetryPause);
    }
  } catch (...) {
    platform_.DiscardStaged(staged);
    throw;
  }
}

void F_Main::ShowCopyError(const std::string& errorText, const std::string& copyContext) {
  platform_.ShowMessage(errorText + LineBreak() + copyContext, kStyleWarning,
                        platform_.ExecutableName());
}

}  // namespace quennel
