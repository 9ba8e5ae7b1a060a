#pragma once
/// The operations Quennel needs from the system it runs on, in small parts:
/// its files, its process, its screen and its log. One backend per platform
/// implements them; the stages see only these.

#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace quennel {

/// A failed platform operation. what() is the system's own description of
/// the failure, formatted once by the backend that raised it.
class PlatformError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// Refused because something else holds the file or the lock for now (a
/// running or open program, another run, a writer finishing); trying again
/// later may succeed.
class BusyError : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// Nothing by that name, for now: a replacing run may be between setting
/// the old version aside and putting the new one in.
class MissingError : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// A file's last modification time: seconds since 1970 (negative before)
/// and the nanoseconds within that second (0 to 999,999,999), compared as a
/// pair, so every time a system reports compares exactly.
struct FileStamp {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  auto operator<=>(const FileStamp&) const = default;
};

/// What one question to the file system tells about a path.
struct FileStatus {
  bool folder = false;
  FileStamp modified;
  std::uint64_t size = 0;  // in bytes, for the administrator's record
};

/// Held by a run while it replaces a destination; destroying it lets the
/// next run go.
class DestinationLock {
public:
  virtual ~DestinationLock() = default;
};

/// What Commit may do about an installed program that is running.
enum class RunningProgram {
  Wait,      // refuse as busy, to be tried again
  SetAside,  // rename it aside within its folder, where its instances go on
};

/// A checked copy of the new version in a staging file beside the
/// installed program. Destroying it removes the staging file unless
/// Commit() has put it in place.
class StagedCopy {
public:
  virtual ~StagedCopy() = default;
  /// Atomically puts the staging file in place of the destination. Throws
  /// BusyError while the destination is in use (the copy stays, to try
  /// again), PlatformError otherwise. Where the system refuses to replace a
  /// running program's image, `running` says whether to set it aside; a
  /// failure after that puts the old file back.
  virtual void Commit(RunningProgram running) = 0;
};

/// Told between two chunks of a copy: bytes copied so far, and the total.
using CopyProgress = std::function<void(std::uint64_t copied, std::uint64_t total)>;

/// Sees every byte of a staging file, in order, and decides whether they
/// may be installed (a signature's check). The bytes are those in the
/// staging file as Quennel's own descriptor has them: handed over while
/// they pass through Quennel, or read back right after the system copied
/// them itself; never read a second time from the source.
class ContentCheck {
public:
  virtual ~ContentCheck() = default;
  virtual void Add(const unsigned char* bytes, std::size_t size) = 0;
  /// Once every byte is seen, before the staging file gets its identity:
  /// throws PlatformError to refuse them.
  virtual void Finish() = 0;
};

/// The administrator's list of trusted keys (DESIGN.md section 12).
struct TrustFile {
  std::string path;  // where it is, as messages show it
  std::string text;
  /// Windows: a file name ends at '\', '/' or ':', and names compare
  /// without regard to case.
  bool windowsNames = false;
};

/// The files: what the decision and the replacement ask and do.
class Files {
public:
  virtual ~Files() = default;
  /// Whether `path` is a folder, and its last modification time; throws
  /// PlatformError when the path cannot be queried (missing, no access).
  virtual FileStatus Stat(const std::string& path) = 0;

  /// Takes, without waiting, the lock that keeps other runs from replacing
  /// `destination` at the same time, and clears what killed runs left
  /// beside it. The system releases the lock if its holder dies. Throws
  /// BusyError while another run holds it; returns null, and the update
  /// goes on without, where no lock can be had for any other reason.
  virtual std::unique_ptr<DestinationLock> LockDestination(const std::string& destination) = 0;

  /// Copies `source` into a new staging file beside `destination` (beside
  /// the file a link finally names), calling `progress` between chunks;
  /// checks the copy, gives it its final identity and time, flushes it and
  /// closes it for writing. Throws PlatformError on any failure, leaving no
  /// staging file behind. A `check` sees the copy's bytes and is finished
  /// before the identity is given; its refusal is such a failure.
  virtual std::unique_ptr<StagedCopy> StageCopy(const std::string& source, const std::string& destination,
                                                const CopyProgress& progress, ContentCheck* check = nullptr) = 0;

  /// The list of trusted keys, read only once a replacement is due;
  /// nothing when there is none. Throws PlatformError, with a text naming
  /// it, when it cannot be read or others than its owner may change it.
  virtual std::optional<TrustFile> ReadTrustFile() = 0;
  /// The text of the signature file `path`: a regular file of a few KiB at
  /// most, opened without blocking. Throws MissingError when there is no
  /// such file, PlatformError when it cannot be read.
  virtual std::string ReadSignature(const std::string& path) = 0;
};

/// How a started program's window first shows: normal, with the focus.
enum class WindowMode { Normal };

/// The process: its command line, time, the start of the program, the end.
class Process {
public:
  virtual ~Process() = default;
  /// The command line's text after the program's own name, as typed.
  virtual std::string CommandTail() = 0;

  /// Sleeps without using the processor.
  virtual void Pause(std::chrono::milliseconds duration) = 0;
  /// A monotonic clock, for bounding waits.
  virtual std::chrono::steady_clock::time_point Now() = 0;

  /// Starts the program named between the first two double quotes of
  /// `commandLine`, handing it the rest as its arguments. A backend may
  /// replace the current process and never return. Throws BusyError when
  /// the system refuses the file as busy (being written), MissingError when
  /// there is no such file, PlatformError when nothing can be started; the
  /// text is the system's alone.
  virtual void StartProgram(const std::string& commandLine, WindowMode mode) = 0;

  /// The running program file's base name, without folder and extension.
  virtual std::string ExecutableName() = 0;
  /// Suffix the decision stage gives a path that has no dot ("" for none).
  virtual std::string ProgramSuffix() = 0;

  /// Ends the process at once with `status`; windows close.
  [[noreturn]] virtual void End(int status) = 0;
};

/// Message box styles; each backend shows them with its own icons.
enum class MessageStyle { Critical, Warning, Information };

/// Pointer shapes over the program's windows: the default one, and the
/// platform's busy pointer.
enum class PointerShape { Default, Busy };

/// The screen: the progress window, the boxes, the beep and the pointer.
class Screen {
public:
  virtual ~Screen() = default;
  /// Processes pending window events, then returns.
  virtual void PumpEvents() = 0;
  /// Modal box with one OK button; CR LF in `text` starts a new line.
  /// Without a title the program's title shows.
  virtual void ShowMessage(const std::string& text, MessageStyle style,
                           const std::optional<std::string>& title) = 0;
  /// Sets the text of label `index` of the progress window.
  virtual void SetLabelText(int index, const std::string& text) = 0;
  /// Makes the progress window visible, not modal; returns at once.
  virtual void ShowProgressWindow() = 0;
  /// Shows how far a long copy has gone, `fraction` from 0 to 1: the bar
  /// in the progress window, or a line on a terminal when there is no
  /// window. A drawing problem is not the copy's failure: it is dropped.
  virtual void ShowCopyProgress(double fraction) noexcept = 0;
  /// Says what the run is doing, without waiting for an answer: a line on
  /// standard error when there is no window; nothing when the window is on
  /// screen, whose labels already say it.
  virtual void ShowNotice(const std::string& text) = 0;
  /// The default system sound.
  virtual void PlayBeep() = 0;
  /// Pointer shape over the program's windows.
  virtual void SetPointer(PointerShape shape) = 0;
};

/// What a run did, as the administrator's record tells it: a new version
/// installed (information), or one that was not, a malformed command line,
/// a program that could not be started (warnings).
enum class RecordKind { Installed, Failed, Refused, GaveUp, Usage, NotStarted };

/// The system's log, where an administrator sees what each run did.
class Record {
public:
  virtual ~Record() = default;
  /// Sends `line` (one line, no control characters) to the system log at
  /// once, or drops it: a missing, full or stalled log is no failure of the
  /// run and never holds it up.
  virtual void Write(RecordKind kind, const std::string& line) noexcept = 0;
  /// The running user as the system numbers it, found without asking a
  /// directory service (which can block).
  virtual std::string UserNumber() = 0;
};

/// The parts, as the stages get them.
struct Platform {
  Files& files;
  Process& process;
  Screen& screen;
  Record& record;
};

/// Exit statuses.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitStarted = 0;

}  // namespace quennel
