#pragma once
/// The process on POSIX: the program takes it over through execv.

#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/posix/Gui.h"

namespace quennel {

class PosixProcess final : public Process {
public:
  /// `args` are the program's arguments, its own name excluded; `gui` is
  /// closed before the program takes over and before the end.
  PosixProcess(std::vector<std::string> args, Gui& gui) : args_(std::move(args)), gui_(gui) {}

  std::string CommandTail() override;
  void Pause(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::time_point Now() override;
  FileStamp Clock() override;
  std::uint64_t RandomNumber() override;
  std::uint64_t ProcessId() override;
  /// Replaces this process; returns only by throwing.
  void StartProgram(const std::string& program, const std::string& arguments) override;
  std::string ExecutablePath() override;
  std::string ProgramSuffix() override;
  [[noreturn]] void End(int status) override;

private:
  std::vector<std::string> args_;
  Gui& gui_;
};

}  // namespace quennel
