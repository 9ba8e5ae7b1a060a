#pragma once
/// The Platform of Windows, on the W (UTF-16) APIs. Paths and texts cross
/// into UTF-16 here and nowhere else.

#include <map>
#include <string>

#include "platform/Platform.h"
#include "platform/win32/ProgressWindow.h"

namespace quennel::win32 {

class Win32Platform : public Platform {
public:
  Win32Platform() = default;
  ~Win32Platform() override;

  std::string CommandTail() override;
  void PumpEvents() override;
  std::uint32_t FileAttributes(const std::string& path) override;
  FileStamp FileModified(const std::string& path) override;
  std::string StageCopy(const std::string& source, const std::string& destination) override;
  void CommitStaged(const std::string& staged, const std::string& destination) override;
  void DiscardStaged(const std::string& staged) noexcept override;
  void Pause(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::time_point Now() override;
  void StartProgram(const std::string& commandLine, int windowMode) override;
  void ShowMessage(const std::string& text, int style,
                   const std::optional<std::string>& title) override;
  void SetLabelText(int index, const std::string& text) override;
  void ShowProgressWindow() override;
  void ShowCopyProgress(double fraction) noexcept override;
  void PlayBeep() override;
  void SetPointer(int shape) override;
  std::string ExecutableName() override;
  std::string ProgramSuffix() override;
  void ReportFailure(const std::string& message) override;
  [[noreturn]] void End(int status) override;

  const ProgressWindow& Window() const { return window_; }

private:
  /// The progress window when it is on screen, to own the message boxes.
  HWND Owner() const;
  /// Closes the staging file's handle, if this run still holds it.
  void Release(const std::string& staged) noexcept;

  ProgressWindow window_;
  /// Staging files this run holds open (no delete sharing) until committed
  /// or discarded, so that a concurrent run never takes one for stale.
  std::map<std::string, HANDLE> staged_;
};

}  // namespace quennel::win32
