#include <exception>
#include <vector>

#include "update/Busy.h"
#include "update/CopyMeter.h"
#include "update/F_Main.h"
#include "update/Lock.h"
#include "update/Signature.h"
#include "update/Staging.h"
#include "update/StoredTime.h"

namespace quennel {
namespace {

/// Tries at a free name for the program set aside.
constexpr int kAsideAttempts = 16;

/// A wait that ran out (for the program, or for another run), or a version
/// not trusted, is no failed copy.
RecordKind RecordKindOf(const std::exception& error) {
  if (dynamic_cast<const UntrustedVersion*>(&error)) return RecordKind::Refused;
  return dynamic_cast<const BusyError*>(&error) ? RecordKind::GaveUp : RecordKind::Failed;
}

}  // namespace

void F_Main::ReplacementStage() {
  platform_.screen.PumpEvents();
  bool CopyOk = true;
  const std::string CopyContext = texts::kCopyContext + SourcePath + ", " + DestPath;

  // A failed step, of whatever kind, clears CopyOk and the next step runs;
  // its box waits until the lock is let go, so a box left on a desk never
  // stalls another run.
  std::vector<std::string> failures;
  bool installed = false;
  RecordKind failedAs = RecordKind::Failed;  // what the last failure makes of the run
  const auto handled = [&](auto&& step) {
    try {
      step();
    } catch (const std::exception& error) {
      failedAs = RecordKindOf(error);
      failures.push_back(error.what());
      CopyOk = false;
    }
  };
  const auto report = [&] {
    for (const std::string& failure : failures) ShowCopyError(failure, CopyContext);
    failures.clear();
  };
  // A beep is never the update's failure: a new version that went in
  // starts without the marker, whatever the sound card says.
  const auto beep = [&] {
    try {
      platform_.screen.PlayBeep();
    } catch (const std::exception&) {
    }
  };

  {
    // One run at a time replaces a destination; the others wait here.
    std::unique_ptr<Place> place;
    std::unique_ptr<HeldLock> lock;
    handled([&] { lock = WaitForLock(place); });
    // The run we waited for may have put this very version in.
    if (CopyOk && !ReplacementDue(false)) {
      lock.reset();
      LaunchTarget(true);
    }
    if (CopyOk) {
      beep();
      handled([&] {
        // Where the program could not be found for the lock, the copy meets
        // the same problem and reports it, after the first beep as any copy.
        if (!place) place = platform_.files.Resolve(DestPath, false);
        InstallNewVersion(*place, lock != nullptr);
        installed = true;
      });
    }
  }
  RecordRun(installed ? RecordKind::Installed : failedAs, installed || failures.empty() ? "" : failures.back());
  report();
  if (CopyOk) beep();
  LaunchTarget(!CopyOk);
}

std::unique_ptr<HeldLock> F_Main::WaitForLock(std::unique_ptr<Place>& place) {
  bool told = false;
  try {
    return RetryWhileBusy(platform_, {busyWaitLimit_}, [&] {
      // Found again at each try: what a name leads to may change while
      // another run replaces the program.
      try {
        place = platform_.files.Resolve(DestPath, false);
      } catch (const BusyError&) {
        throw;
      } catch (const PlatformError&) {
        place.reset();
        return std::unique_ptr<HeldLock>();
      }
      try {
        return TakeLock(platform_, *place);
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

void F_Main::InstallNewVersion(Place& place, bool locked) {
  // The new version goes into a staging file first and replaces the
  // installed copy in one rename, so an interrupted or failed copy never
  // leaves a missing or truncated program behind.
  // Where the administrator lists trusted keys, only a version signed with
  // one goes in: its signature is read before any copy, the bytes checked
  // before the staging file takes any place.
  const std::unique_ptr<ContentCheck> signature = SignatureRequired(platform_.files, SourcePath);
  // Said before copying anything, rather than after a whole copy, at every start.
  place.CheckIdentityCanBeGiven();
  const std::unique_ptr<Source> source = platform_.files.OpenSource(SourcePath);
  const FileStatus before = source->Status();

  OwnNewFile staging(platform_, place, OwnKinds(platform_.files.Names()).staging);
  CopyMeter meter(platform_);
  CopyContents(*source, *staging, before.size, [&](std::uint64_t copied, std::uint64_t total) {
    meter.Update(copied, total);
    platform_.screen.PumpEvents();
  }, signature.get());
  // A publisher rewriting, replacing or removing the file mid-copy must not
  // give a mixed or truncated install.
  bool unchanged = staging->Status().size == before.size && SameVersion(before, source->Status());
  try {
    unchanged = unchanged && SameVersion(before, platform_.files.StatFresh(SourcePath));
  } catch (const PlatformError&) {
    unchanged = false;
  }
  if (!unchanged) throw PlatformError(texts::kSourceChanged);
  // The bytes must be the signed ones before the file becomes anything more.
  if (signature) signature->Finish();

  staging->TakeProgramIdentity(before);
  KeepTimeAtLeast(before.modified, [&](FileStamp time) { return staging->SetTime(time); });
  staging->Flush();
  staging->CloseForWriting();
  Commit(place, *staging, locked);
  staging.Keep();
}

void F_Main::Commit(Place& place, NewFile& staging, bool locked) {
  // The installed program may be open or running: wait for it, within reason.
  // A running program may just be closing; past a short grace it is set
  // aside, and the instances others keep open go on from there. Without
  // the lock another run may be setting it aside too: just wait.
  const auto busySince = platform_.process.Now();
  RetryWhileBusy(platform_, {busyWaitLimit_}, [&] {
    try {
      staging.MoveTo(place.Name(), true);
    } catch (const RunningError&) {
      const bool graceOver = platform_.process.Now() - busySince >= kSetAsideGrace;
      if (!locked || !graceOver || !OwnKinds(platform_.files.Names()).setAside) throw;
      ReplaceSettingAside(place, staging);
    }
  });
}

void F_Main::ReplaceSettingAside(Place& place, NewFile& staging) {
  const NameRules& rules = platform_.files.Names();
  const OwnFileKind& kind = *OwnKinds(rules).setAside;
  std::unique_ptr<AsideFile> aside;
  std::string asideName;
  for (int attempt = 1; !aside; ++attempt) {
    asideName = OwnFileName(place.Name(), kind, HexDigits(platform_.process.RandomNumber()), rules.units);
    try {
      aside = place.SetAside(asideName);
    } catch (const ExistsError&) {
      if (attempt >= kAsideAttempts) throw;
    }
  }
  // The program's name is free from here until the new file takes it.
  try {
    staging.MoveTo(place.Name(), false);
  } catch (const PlatformError& error) {
    if (aside->PutBack()) throw;
    // The next run under the lock puts it back; until then, say where it is.
    throw PlatformError(error.what() + LineBreak() + texts::kPutBackFailed + asideName + texts::kPutBackFailedEnd);
  }
  // Gone at once when nobody runs it any more; else a later replacement
  // clears it.
  aside->DeleteWhenUnused();
}

void F_Main::ShowCopyError(const std::string& errorText, const std::string& copyContext) {
  platform_.screen.ShowMessage(errorText + LineBreak() + copyContext, MessageStyle::Warning, ExecutableName());
}

}  // namespace quennel
