#pragma once
/// Quennel's own process on Windows: its command line, its clocks, the
/// start of the installed program as a new process, its end.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/Process.h"

namespace quennel::win32 {

class Win32Process : public Process {
public:
  std::string CommandTail() override;
  void Pause(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::time_point Now() override;
  FileStamp Clock() override;
  std::uint64_t RandomNumber() override;
  std::uint64_t ProcessId() override;
  void StartProgram(const std::string& program, const std::string& arguments) override;
  std::string ExecutablePath() override;
  std::string ProgramSuffix() override;
  [[noreturn]] void End(int status) override;
};

/// The application name `program` is started by: itself within MAX_PATH,
/// which is all the system takes there; past it, its short (8.3) form as
/// `shortForm` finds it at start time, where that fits; else nothing.
std::optional<std::wstring> ApplicationName(const std::wstring& program,
                                            const std::function<std::wstring(const std::wstring&)>& shortForm);

}  // namespace quennel::win32
