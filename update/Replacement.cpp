#include <exception>
#include <vector>

#include "update/Busy.h"
#include "update/CopyMeter.h"
#include "update/F_Main.h"
#include "update/Lock.h"
#include "update/Outcomes.h"
#include "update/RecordLine.h"
#include "update/SignedInstall.h"
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
  if (dynamic_cast<const StillPublished*>(&error) || dynamic_cast<const NotYetDue*>(&error))
    return RecordKind::GaveUp;
  return dynamic_cast<const BusyError*>(&error) ? RecordKind::GaveUp : RecordKind::Failed;
}

/// What shows no box: a version not finished or not due yet is tried again
/// at the next start, and a box at every start would only alarm.
bool Silent(const std::exception& error) {
  return dynamic_cast<const StillPublished*>(&error) || dynamic_cast<const NotYetDue*>(&error);
}

/// `why` as the sign of a version still being published.
StillPublished Unfinished(const std::exception& why) {
  return StillPublished(std::string(texts::kStillPublished) + " : " + why.what());
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
  bool installed = false, alreadyIn = false;
  RecordKind failedAs = RecordKind::Failed;  // what the last failure makes of the run
  std::string cause;                         // and why, for the record
  const auto handled = [&](auto&& step) {
    try {
      step();
    } catch (const std::exception& error) {
      failedAs = RecordKindOf(error);
      cause = error.what();
      if (!Silent(error)) failures.push_back(cause);
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
        if (!place) place = platform_.files.Resolve(DestPath, firstInstall_);
        installed = InstallNewVersion(*place, lock != nullptr);
        // The very version was in already: it starts as after no update.
        alreadyIn = !installed;
        CopyOk = installed;
      });
    }
  }
  if (!alreadyIn) RecordRun(installed ? RecordKind::Installed : failedAs, installed ? "" : cause);
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
        // A first install makes the folders its path lacks, as `mkdir -p`.
        place = platform_.files.Resolve(DestPath, firstInstall_);
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
    const BusyError gaveUp(texts::kOtherUpdate + DestPath + texts::kOtherUpdateGaveUp);
    if (unsettled_) throw Unfinished(gaveUp);
    throw gaveUp;
  }
}

bool F_Main::InstallNewVersion(Place& place, bool locked) {
  try {
    return CopyAndCommit(place, locked);
  } catch (const SourceChanged& error) {
    if (unsettled_) throw Unfinished(error);
    throw;
  } catch (const UntrustedVersion& error) {
    if (unsettled_ && error.MayBeUnfinished()) throw Unfinished(error);
    throw;
  }
}

bool F_Main::CopyAndCommit(Place& place, bool locked) {
  // The new version goes into a staging file first and replaces the
  // installed copy in one rename, so an interrupted or failed copy never
  // leaves a missing or truncated program behind.
  if (platform_.files.Names().windowsStyle && DestPath.starts_with("\\\\?\\") &&
      (DestPath.ends_with('.') || DestPath.ends_with(' ')))
    throw PlatformError(texts::kTrailingDotOrSpace + DestPath);
  // Where the administrator lists trusted keys, only a version signed with
  // one goes in, never one signed before the installed version: its
  // signature is read before any copy, the bytes checked before the
  // staging file takes any place.
  const FileStamp clock = platform_.process.Clock();
  const std::optional<NewSignature> fresh = ReadNewSignature(platform_, SourcePath, clock);
  InstalledSignature installed;
  if (fresh) {
    installed = ReadInstalledSignature(platform_, place, *fresh);
    note_ = installed.note;
    if (installed.signature && installed.signature->text == fresh->signature.text) {
      if (AlreadyInstalled(place, *fresh, clock)) return false;
    } else if (installed.signature && *fresh->signature.timestamp < *installed.signature->timestamp) {
      throw UntrustedVersion(texts::kEarlierSignature + DateText({*fresh->signature.timestamp}) +
                             texts::kEarlierSignatureInstalled + DateText({*installed.signature->timestamp}) +
                             " : " + fresh->signature.path);
    }
    signedVersion_ = fresh->signature;
  }
  // Said before copying anything, rather than after a whole copy, at every start.
  place.CheckIdentityCanBeGiven();
  std::unique_ptr<Source> source;
  try {
    source = platform_.files.OpenSource(SourcePath);
  } catch (const BusyError& error) {
    // Held open by its publisher (Windows): still being written, when lately changed.
    if (unsettled_) throw Unfinished(error);
    throw PlatformError(error.what());
  }
  // What the copy is checked against: the decision's look where there was
  // one, so nothing that changed since then goes in either.
  const FileStatus before = sourceLook_.value_or(source->Status());

  OwnNewFile staging(platform_, place, OwnKinds(platform_.files.Names()).staging);
  CopyMeter meter(platform_);
  const std::unique_ptr<ContentCheck> check = fresh ? BytesCheck(fresh->signature) : nullptr;
  CopyContents(*source, *staging, before.size, [&](std::uint64_t copied, std::uint64_t total) {
    meter.Update(copied, total);
    platform_.screen.PumpEvents();
  }, check.get());
  // A publisher rewriting, replacing or removing the file mid-copy must not
  // give a mixed or truncated install.
  bool unchanged = staging->Status().size == before.size && SameVersion(before, source->Status());
  try {
    unchanged = unchanged && SameVersion(before, platform_.files.StatFresh(SourcePath));
  } catch (const PlatformError&) {
    unchanged = false;
  }
  if (!unchanged) throw SourceChanged(texts::kSourceChanged);
  // The bytes must be the signed ones before the file becomes anything more.
  if (check) check->Finish();

  staging->TakeProgramIdentity(before);
  KeepTimeAtLeast(before.modified, [&](FileStamp time) { return staging->SetTime(time); });
  staging->Flush();
  staging->CloseForWriting();
  // The signature goes in first: from then on, a version signed earlier
  // than this one is refused even if this run dies.
  bool keepSignature = fresh && installed.kept;
  if (keepSignature) {
    try {
      PutSignatureInPlace(place, fresh->signature.text);
    } catch (const PlatformError& error) {
      // Whatever stood there counted for nothing (a folder, another user's
      // file in a sticky folder): a name planted there must not stop
      // every signed update. A genuine signature that cannot be replaced
      // must.
      if (installed.note.empty()) throw;
      keepSignature = false;
      note_ += std::string(" ; ") + texts::kSignatureNotReplaced + error.what();
    }
  }
  try {
    Commit(place, *staging, locked);
  } catch (...) {
    if (keepSignature) PutBackSignature(place, installed.bytes);
    throw;
  }
  staging.Keep();
  return true;
}

bool F_Main::AlreadyInstalled(Place& place, const NewSignature& fresh, const FileStamp& clock) {
  std::uint64_t installedSize = 0;
  // Its signature over other bytes: a crash between two renames, or an
  // install made while the list was off. An ordinary update mends it.
  if (!InstalledBytesMatch(place, fresh.signature, installedSize)) return false;
  // Maybe a new program copied over the share's old one, not signed yet:
  // its time must not be given to the installed copy.
  if (unsettled_) throw StillPublished(texts::kStillPublished);
  const FileStatus source = sourceLook_.value_or(platform_.files.Stat(SourcePath));
  if (source.size != installedSize) throw UntrustedVersion(texts::kSameSignatureOtherSize + fresh.signature.path);
  // The installed copy takes the source's time, so the next start copies
  // nothing; never a time ahead of this machine's.
  try {
    KeepTimeAtLeast(std::min(source.modified, clock),
                    [&](FileStamp time) { return place.SetTime(place.Name(), time); });
    return true;
  } catch (const PlatformError&) {
    return false;  // not the runner's to date: an ordinary update
  }
}

void F_Main::PutSignatureInPlace(Place& place, const std::string& text) {
  OwnNewFile file(platform_, place, OwnKinds(platform_.files.Names()).signature);
  file->Write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  file->TakeCompanionIdentity();
  file->Flush();
  file->CloseForWriting();
  try {
    RetryWhileBusy(platform_, {busyWaitLimit_}, [&] { file->MoveTo(SignatureName(place), true); });
  } catch (const BusyError& error) {
    throw PlatformError(error.what());  // no signature, no version: the update failed
  }
  file.Keep();
}

void F_Main::PutBackSignature(Place& place, const std::optional<std::string>& bytes) noexcept {
  try {
    if (bytes) return PutSignatureInPlace(place, *bytes);
    const std::string name = SignatureName(place);
    if (const std::optional<FileStatus> found = place.Look(name)) place.Remove({name, *found});
  } catch (const std::exception&) {
    // At worst the next version is judged against this one's signature.
  }
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
