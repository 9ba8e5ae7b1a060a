#include "platform/posix/PosixPlatform.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/WindowsQuoting.h"
#include "platform/posix/GuiModule.h"
#include "update/Texts.h"

namespace quennel {

void UseUserLocale() {
  static bool set = false;
  if (set) return;
  set = true;
  std::setlocale(LC_ALL, "");
}

namespace {
struct sigaction inheritedBrokenPipe;
bool brokenPipeIgnored = false;
}  // namespace

void IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction found {};
  if (sigaction(SIGPIPE, &ignore, &found) != 0) return;
  if (!brokenPipeIgnored) inheritedBrokenPipe = found;
  brokenPipeIgnored = true;
}

void RestoreBrokenPipes() {
  if (brokenPipeIgnored) sigaction(SIGPIPE, &inheritedBrokenPipe, nullptr);
  brokenPipeIgnored = false;
}

void ThrowSystemError(int error) {
  UseUserLocale();
  throw PlatformError(std::strerror(error));
}

void ThrowBusy(int error) {
  UseUserLocale();
  throw BusyError(std::strerror(error));
}

PosixPlatform::PosixPlatform(std::vector<std::string> args) : args_(std::move(args)) {}

std::string PosixPlatform::CommandTail() { return TailFromArguments(args_); }

void PosixPlatform::PumpEvents() { gui_.Pump(); }

FileStatus PosixPlatform::Stat(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) ThrowSystemError(errno);
  return {S_ISDIR(st.st_mode), StampOf(st.st_mtim), static_cast<std::uint64_t>(st.st_size)};
}

void PosixPlatform::Pause(std::chrono::milliseconds duration) {
  timespec ts{static_cast<time_t>(duration.count() / 1000),
              static_cast<long>(duration.count() % 1000) * 1'000'000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::chrono::steady_clock::time_point PosixPlatform::Now() {
  return std::chrono::steady_clock::now();
}

void PosixPlatform::StartProgram(const std::string& commandLine, WindowMode /*mode*/) {
  const LaunchCommand command = SplitLaunchCommand(commandLine);
  const char* program = command.program.c_str();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const std::string& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The program takes over this process: no window, display connection or
  // staging file of ours may outlive the exec.
  gui_.Close();
  std::fflush(nullptr);
  RestoreBrokenPipes();
  execv(program, argv.data());
  int error = errno;
  IgnoreBrokenPipes();
  // Only now, on the way to the report, is the program looked at: a plain
  // start asks nothing more of the file system than the exec.
  struct stat st;
  if (error == EACCES && stat(program, &st) == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
  UseUserLocale();
  // Still open for writing somewhere, or not there yet: worth another try.
  if (error == ETXTBSY) throw BusyError(std::strerror(error));
  if (error == ENOENT) throw MissingError(std::strerror(error));
  throw PlatformError(std::strerror(error));
}

void PosixPlatform::ShowMessage(const std::string& text, MessageStyle style,
                                const std::optional<std::string>& title) {
  // The module draws two icons; a critical box takes the warning one.
  const int icon = style == MessageStyle::Information ? QUENNEL_STYLE_INFORMATION : QUENNEL_STYLE_WARNING;
  gui_.Message(text, icon, title.value_or(texts::kProgramTitle));
}

void PosixPlatform::SetLabelText(int index, const std::string& text) { gui_.SetLabel(index, text); }

void PosixPlatform::ShowProgressWindow() { gui_.ShowWindow(); }

void PosixPlatform::ShowCopyProgress(double fraction) noexcept {
  try {
    gui_.Progress(fraction);
  } catch (...) {
    // Only the progress is lost (out of memory for a line of text).
  }
}

void PosixPlatform::ShowNotice(const std::string& text) { gui_.Notice(text); }

void PosixPlatform::PlayBeep() { gui_.Beep(); }

void PosixPlatform::SetPointer(PointerShape shape) {
  gui_.Pointer(shape == PointerShape::Busy ? QUENNEL_POINTER_BUSY : QUENNEL_POINTER_DEFAULT);
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string PosixPlatform::ExecutableName() {
  const std::string path = ExecutablePath();
  std::string name = path.substr(path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "quennel" : name;
}

std::string PosixPlatform::ProgramSuffix() { return ""; }

void PosixPlatform::End(int status) {
  gui_.Close();
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace quennel
