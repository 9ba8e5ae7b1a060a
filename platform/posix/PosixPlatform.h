#pragma once
/// The Platform of POSIX systems: files through stat/open/rename, the start
/// through execv, and the window through a module loaded on first use.

#include <ctime>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/Gui.h"
#include "platform/posix/SystemLog.h"

namespace quennel {

class PosixPlatform final : public Files, public Process, public Screen {
public:
  /// `args` are the program's arguments, its own name excluded.
  explicit PosixPlatform(std::vector<std::string> args);

  FileStatus Stat(const std::string& path) override;
  std::unique_ptr<DestinationLock> LockDestination(const std::string& destination) override;
  std::unique_ptr<StagedCopy> StageCopy(const std::string& source, const std::string& destination,
                                        const CopyProgress& progress, ContentCheck* check = nullptr) override;
  std::optional<TrustFile> ReadTrustFile() override;
  std::string ReadSignature(const std::string& path) override;

  std::string CommandTail() override;
  void Pause(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::time_point Now() override;
  void StartProgram(const std::string& commandLine, WindowMode mode) override;
  std::string ExecutableName() override;
  std::string ProgramSuffix() override;
  [[noreturn]] void End(int status) override;

  void PumpEvents() override;
  void ShowMessage(const std::string& text, MessageStyle style,
                   const std::optional<std::string>& title) override;
  void SetLabelText(int index, const std::string& text) override;
  void ShowProgressWindow() override;
  void ShowCopyProgress(double fraction) noexcept override;
  void ShowNotice(const std::string& text) override;
  void PlayBeep() override;
  void SetPointer(PointerShape shape) override;

  /// All the parts, for the stages.
  Platform Parts() { return {*this, *this, *this, log_}; }

private:
  std::vector<std::string> args_;
  Gui gui_;
  SystemLog log_;
};

/// A time as the stages compare it.
inline FileStamp StampOf(const timespec& time) {
  return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

/// A PlatformError carrying strerror's text for `error` (in the user's locale).
[[noreturn]] void ThrowSystemError(int error);
/// The same as a BusyError: something else holds the file for now.
[[noreturn]] void ThrowBusy(int error);

/// SIGPIPE is ignored while Quennel runs: a message written to a reader that
/// went away must not end the update. The disposition found is kept.
void IgnoreBrokenPipes();
/// Puts back the SIGPIPE disposition Quennel was started with, for the
/// program about to take over the process (an ignored signal stays ignored
/// across exec).
void RestoreBrokenPipes();

/// The running program's own file (from /proc/self/exe); empty when unknown.
std::string ExecutablePath();

/// The trusted keys' list of the binary in `binaryFolder`: `quennel/trusted-keys`
/// in the system configuration folder of its install prefix (the Debian
/// package's is /etc), found from the binary's place as the install laid
/// them out, so that a moved install finds its own.
std::string TrustFileFor(const std::string& binaryFolder);

/// Sets the user's locale, once. Only error texts and the window need it,
/// and loading it would be most of the cost of a plain launch, so it is set
/// when one of those first comes up.
void UseUserLocale();

}  // namespace quennel
