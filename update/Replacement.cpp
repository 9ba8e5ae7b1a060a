#include <vector>

#include "update/Busy.h"
#include "update/CopyMeter.h"
#include "update/F_Main.h"
#include "update/Signature.h"

namespace quennel {
namespace {

/// A wait that ran out (for the program, or for another run), or a version
/// not trusted, is no failed copy.
RecordKind RecordKindOf(const PlatformError& error) {
  if (dynamic_cast<const UntrustedVersion*>(&error)) return RecordKind::Refused;
  return dynamic_cast<const BusyError*>(&error) ? RecordKind::GaveUp : RecordKind::Failed;
}

}  // namespace

void F_Main::ReplacementStage() {
  platform_.screen.PumpEvents();
  bool CopyOk = true;
  const std::string CopyContext = texts::kCopyContext + SourcePath + ", " + DestPath;

  // A failed step clears CopyOk and the next step runs; its box waits until
  // the lock is let go, so a box left on a desk never stalls another run.
  std::vector<std::string> failures;
  bool installed = false;
  RecordKind failedAs = RecordKind::Failed;  // what the last failure makes of the run
  const auto handled = [&](auto&& step) {
    try {
      step();
    } catch (const PlatformError& error) {
      failedAs = RecordKindOf(error);
      failures.push_back(error.what());
      CopyOk = false;
    }
  };
  const auto report = [&] {
    for (const std::string& failure : failures) ShowCopyError(failure, CopyContext);
    failures.clear();
  };

  {
    // One run at a time replaces a destination; the others wait here.
    std::unique_ptr<DestinationLock> lock;
    handled([&] { lock = WaitForLock(); });
    // The run we waited for may have put this very version in.
    if (CopyOk && !ReplacementDue(false)) {
      lock.reset();
      LaunchTarget(true);
    }
    if (CopyOk) {
      handled([&] { platform_.screen.PlayBeep(); });
      handled([&] {
        InstallNewVersion(lock != nullptr);
        installed = true;
      });
    }
  }
  RecordRun(installed ? RecordKind::Installed : failedAs, installed || failures.empty() ? "" : failures.back());
  report();
  if (CopyOk) handled([&] { platform_.screen.PlayBeep(); });
  report();
  LaunchTarget(!CopyOk);
}

std::unique_ptr<DestinationLock> F_Main::WaitForLock() {
  bool told = false;
  try {
    return RetryWhileBusy(platform_, {busyWaitLimit_}, [&] {
      try {
        return platform_.files.LockDestination(DestPath);
      } catch (const BusyError&) {
        if (!told) platform_.screen.ShowNotice(texts::kOtherUpdate + DestPath + texts::kOtherUpdateWaiting);
        told = true;
        throw;
      }
    });
  } catch (const BusyError&) {
    throw BusyError(texts::kOtherUpdate + DestPath + texts::kOtherUpdateGaveUp);
  }
}

void F_Main::InstallNewVersion(bool locked) {
  // The new version goes into a staging file first and replaces the
  // installed copy in one rename, so an interrupted or failed copy never
  // leaves a missing or truncated program behind.
  // Where the administrator lists trusted keys, only a version signed with
  // one goes in: its signature is read before any copy, the bytes checked
  // before the staging file takes any place.
  const std::unique_ptr<ContentCheck> signature = SignatureRequired(platform_.files, SourcePath);
  CopyMeter meter(platform_);
  const auto staged =
      platform_.files.StageCopy(SourcePath, DestPath, [&](std::uint64_t copied, std::uint64_t total) {
        meter.Update(copied, total);
        platform_.screen.PumpEvents();
      }, signature.get());
  // The installed program may be open or running: wait for it, within reason.
  // A running program may just be closing; past a short grace it is set
  // aside, and the instances others keep open go on from there. Without
  // the lock another run may be setting it aside too: just wait.
  const auto busySince = platform_.process.Now();
  RetryWhileBusy(platform_, {busyWaitLimit_}, [&] {
    const bool graceOver = locked && platform_.process.Now() - busySince >= kSetAsideGrace;
    staged->Commit(graceOver ? RunningProgram::SetAside : RunningProgram::Wait);
  });
}

void F_Main::ShowCopyError(const std::string& errorText, const std::string& copyContext) {
  platform_.screen.ShowMessage(errorText + LineBreak() + copyContext, MessageStyle::Warning,
                               platform_.process.ExecutableName());
}

}  // namespace quennel
