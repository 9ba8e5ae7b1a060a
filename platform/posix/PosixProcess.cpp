#include "platform/posix/PosixProcess.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/WindowsQuoting.h"
#include "platform/posix/Self.h"
#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"

namespace quennel {

std::string PosixProcess::CommandTail() { return TailFromArguments(args_); }

void PosixProcess::Pause(std::chrono::milliseconds duration) {
  timespec left{static_cast<time_t>(duration.count() / 1000), static_cast<long>(duration.count() % 1000) * 1'000'000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::chrono::steady_clock::time_point PosixProcess::Now() { return std::chrono::steady_clock::now(); }

FileStamp PosixProcess::Clock() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return StampOf(now);
}

std::uint64_t PosixProcess::RandomNumber() {
  std::uint64_t number = 0;
  if (getrandom(&number, sizeof number, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof number)) return number;
  // No entropy yet (early boot): exclusive creation still keeps two runs
  // apart; the clock, the process and a count keep the tries apart.
  static std::uint64_t count = 0;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  number = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
           (static_cast<std::uint64_t>(getpid()) << 40) ^ ++count;
  // splitmix64's finish spreads every bit over the whole number.
  number = (number ^ (number >> 30)) * 0xBF58476D1CE4E5B9ull;
  number = (number ^ (number >> 27)) * 0x94D049BB133111EBull;
  return number ^ (number >> 31);
}

std::uint64_t PosixProcess::ProcessId() { return static_cast<std::uint64_t>(getpid()); }

void PosixProcess::StartProgram(const std::string& program, const std::string& arguments) {
  const std::vector<std::string> args = SplitArguments(arguments);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The program takes over this process: no window or display connection
  // of ours may outlive the exec.
  gui_.Close();
  RestoreBrokenPipes();
  execv(program.c_str(), argv.data());
  int error = errno;
  IgnoreBrokenPipes();
  // Only now, on the way to the report, is the program looked at: a plain
  // start asks nothing more of the file system than the exec.
  struct stat st;
  if (error == EACCES && stat(program.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
  // Still open for writing somewhere, or not there yet: worth another try.
  if (error == ETXTBSY) Throw<BusyError>(error);
  if (error == ENOENT) Throw<MissingError>(error);
  Throw(error);
}

std::string PosixProcess::ExecutablePath() { return quennel::ExecutablePath(); }

std::string PosixProcess::ProgramSuffix() { return ""; }

void PosixProcess::End(int status) {
  gui_.Close();
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace quennel
