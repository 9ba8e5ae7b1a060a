#pragma once
/// F_Main: Quennel's one object. It holds the two paths and the pass-through
/// arguments, and its load handler does the whole job: read the command
/// line, decide, replace, start the installed program.

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "update/SignedInstall.h"
#include "update/Texts.h"

namespace quennel {

/// The marker appended to the started program's arguments unless a new
/// version went in cleanly.
inline constexpr const char* kMarker = "(~!~)";

/// How long a replacement waits for an installed program that is in use.
inline constexpr std::chrono::milliseconds kBusyWaitLimit{60'000};
/// How long a running program may take to close before it is set aside.
inline constexpr std::chrono::milliseconds kSetAsideGrace{2'000};
/// How long a start refused as busy (a writer finishing) is tried again.
inline constexpr std::chrono::milliseconds kStartBusyLimit{2'000};
/// How long a start that finds no program is tried again: another run may
/// be between setting the old version aside and putting the new one in.
inline constexpr std::chrono::milliseconds kStartMissingLimit{300};

/// The three fields the command line fills.
struct CommandLineFields {
  std::string SourcePath;
  std::string DestPath;
  std::string ExtraArgs;
};

/// The command-line grammar: two double-quoted paths, then the rest.
/// Returns nothing when the text is malformed; paths may come back empty.
std::optional<CommandLineFields> ParseCommandLine(std::string_view tail);

/// One of the progress window's two labels.
class Label {
public:
  Label(Screen& screen, int index) : screen_(&screen), index_(index) {}
  void SetText(const std::string& text) { screen_->SetLabelText(index_, text); }

private:
  Screen* screen_;
  int index_;
};

/// Start-up's one runner: creates F_Main and runs its load handler; a
/// failure that nothing handled becomes the failure report, and the process
/// ends with kExitFailure.
[[noreturn]] void RunQuennel(Platform platform, std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit);

class F_Main {
public:
  explicit F_Main(Platform platform, std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit)
      : E{{Label(platform.screen, 0), Label(platform.screen, 1)}}, platform_(platform), busyWaitLimit_(busyWaitLimit) {}

  /// Runs every stage; ends the process through the platform.
  void Form_Load();

  /// True for an existing file that is not a directory, as one question to
  /// the file system (Examine) found it.
  static bool FileExists(const std::optional<FileStatus>& status) { return status && !status->folder(); }
  /// Starts the installed program and ends the process.
  [[noreturn]] void LaunchTarget(bool withMarker);
  /// The running program file's base name, without folder and extension,
  /// for the boxes' titles.
  std::string ExecutableName();
  /// Carriage return, line feed.
  static std::string LineBreak() { return "\r\n"; }

  std::string SourcePath;
  std::string DestPath;
  std::string ExtraArgs;
  /// The progress window's label array.
  std::array<Label, 2> E;

private:
  [[noreturn]] void UsageExit();
  void CommandLineStage();
  void DecisionStage();
  void WindowStage();
  void ReplacementStage();
  /// True when the installed program must be replaced: the source is a
  /// file, and the destination is missing or strictly older. One question
  /// to the file system per path; with `settle`, a missing destination is
  /// first settled under its lock.
  bool ReplacementDue(bool settle);
  /// False when the new version, changed lately, does not stand still
  /// between two looks: it may still be being written where it is
  /// published. The first look is the one the copy is checked against.
  bool SourceSettles(const FileStamp& clock);
  /// What the file system says of `path`; nothing when it cannot be queried.
  std::optional<FileStatus> Examine(const std::string& path);
  /// Finds where the destination lives and takes its lock, waiting while
  /// another run holds it; says once that it waits, and why it gave up.
  /// The lock is null where none can be had: the run goes on without.
  std::unique_ptr<HeldLock> WaitForLock(std::unique_ptr<Place>& place);
  /// Copies the new version beside the program and puts it in place,
  /// waiting while the program is busy; only a run that holds the lock
  /// (`locked`) sets a running program aside.
  /// False when nothing was copied because this very version, signed, was
  /// found in place already.
  bool InstallNewVersion(Place& place, bool locked);
  bool CopyAndCommit(Place& place, bool locked);
  /// Whether the installed program is this signed version already: then
  /// it only takes the source's time, so that the next start copies
  /// nothing.
  bool AlreadyInstalled(Place& place, const NewSignature& fresh, const FileStamp& clock);
  /// Puts `text` beside the program as its signature, through a staging
  /// file of its own.
  void PutSignatureInPlace(Place& place, const std::string& text);
  /// What stood there before, or nothing, back after a failed replacement.
  void PutBackSignature(Place& place, const std::optional<std::string>& bytes) noexcept;
  /// Puts the checked, closed `staging` file in the program's place.
  void Commit(Place& place, NewFile& staging, bool locked);
  /// A running program moves aside, where its instances go on, and
  /// `staging` takes its name; a failure puts it back.
  void ReplaceSettingAside(Place& place, NewFile& staging);
  void ShowCopyError(const std::string& errorText, const std::string& copyContext);
  /// Writes the administrator's record of this run: what happened, and why
  /// when it went wrong. Failing to write it is no failure of the run.
  void RecordRun(RecordKind kind, const std::string& cause = "") noexcept;

  Platform platform_;
  std::chrono::milliseconds busyWaitLimit_;
  /// The new version as the last decision found it, for the record.
  std::optional<FileStatus> newVersion_;
  /// The new version as asked of its server once a replacement was due:
  /// what the copy must find unchanged.
  std::optional<FileStatus> sourceLook_;
  /// Whether that look found it changed so lately that it may still be
  /// being published: then an unfinished version is no failure, only a
  /// start without it.
  bool unsettled_ = false;
  /// Whether nothing at all stood at the destination: a first install,
  /// whose missing folders are made.
  bool firstInstall_ = false;
  /// The signature of the version that goes in, for the record.
  std::optional<Signed> signedVersion_;
  /// What the record should know beside (an installed signature ignored).
  std::string note_;
};

}  // namespace quennel
