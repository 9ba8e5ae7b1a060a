#pragma once
/// The Platform of Windows, on the W (UTF-16) APIs. Paths and texts cross
/// into UTF-16 here and nowhere else.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/win32/EventLog.h"
#include "platform/win32/ProgressWindow.h"

namespace quennel::win32 {

/// A FILETIME (1601 epoch, 100 ns ticks) as seconds and nanoseconds since
/// 1970, and back (to the 100 ns below).
FileStamp StampOf(const FILETIME& time);
FILETIME FileTimeOf(const FileStamp& stamp);

/// The full path of the running quennel.exe.
std::wstring ModulePath();

class Win32Platform final : public Files, public Process, public Screen {
public:
  Win32Platform() = default;

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
  /// The progress window when it is on screen, to own the message boxes.
  HWND Owner() const;

  ProgressWindow window_;
  EventLog log_;
};

/// The application name `program` is started by: itself within MAX_PATH,
/// which is all the system takes there; past it, its short (8.3) form as
/// `shortForm` finds it at start time, where that fits; else nothing.
std::optional<std::wstring> ApplicationName(const std::wstring& program,
                                            const std::function<std::wstring(const std::wstring&)>& shortForm);

}  // namespace quennel::win32
