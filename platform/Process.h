#pragma once
/// The process: its command line, its clocks, the start of the program and
/// its own end.

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/FileStatus.h"

namespace quennel {

class Process {
public:
  virtual ~Process() = default;
  /// The command line's text after the program's own name, as typed.
  virtual std::string CommandTail() = 0;

  /// Sleeps without using the processor.
  virtual void Pause(std::chrono::milliseconds duration) = 0;
  /// A monotonic clock, for bounding waits.
  virtual std::chrono::steady_clock::time_point Now() = 0;
  /// This machine's clock, as file times count.
  virtual FileStamp Clock() = 0;
  /// A number nobody can guess, different on every call.
  virtual std::uint64_t RandomNumber() = 0;
  /// This process's number.
  virtual std::uint64_t ProcessId() = 0;

  /// Starts `program` with `arguments`, the rest of a command line: split
  /// by the Windows rules where a system takes arguments one by one. A
  /// backend may replace the current process and never return. Throws
  /// BusyError when the system refuses the file as busy (being written),
  /// MissingError when there is no such file, PlatformError when nothing
  /// can be started; the text is the system's alone.
  virtual void StartProgram(const std::string& program, const std::string& arguments) = 0;

  /// The running program's own file; empty where the system cannot say.
  virtual std::string ExecutablePath() = 0;
  /// Suffix the decision stage gives a path that has no dot ("" for none).
  virtual std::string ProgramSuffix() = 0;

  /// Ends the process at once with `status`; windows close.
  [[noreturn]] virtual void End(int status) = 0;
};

}  // namespace quennel
