#include "platform/win32/Win32Process.h"

#include <ntsecapi.h>

#include <vector>

#include "platform/Failures.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Screen.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

/// The short form of `path` as the volume keeps it, or empty.
std::wstring ShortForm(const std::wstring& path) {
  const std::wstring extended = Extended(path);
  std::wstring shorter(extended.size() + 1, L'\0');
  const DWORD length = GetShortPathNameW(extended.c_str(), shorter.data(), static_cast<DWORD>(shorter.size()));
  if (length == 0 || length >= shorter.size()) return L"";
  shorter.resize(length);
  return shorter;
}

/// A number that differs on every call, where the system's generator fails.
std::uint64_t Mixed() {
  static std::uint64_t counter = 0;
  LARGE_INTEGER tick;
  QueryPerformanceCounter(&tick);
  std::uint64_t x = static_cast<std::uint64_t>(tick.QuadPart) ^
                    (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ull);
  // splitmix64's finaliser spreads the bits.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

std::optional<std::wstring> ApplicationName(const std::wstring& program,
                                            const std::function<std::wstring(const std::wstring&)>& shortForm) {
  if (program.size() < MAX_PATH) return program;
  std::wstring shorter = shortForm(program);
  // The application name takes no \\?\ form.
  if (shorter.starts_with(LR"(\\?\UNC\)"))
    shorter = LR"(\\)" + shorter.substr(8);
  else if (shorter.starts_with(LR"(\\?\)"))
    shorter = shorter.substr(4);
  if (shorter.empty() || shorter.size() >= MAX_PATH) return std::nullopt;
  return shorter;
}

std::string Win32Process::CommandTail() { return CommandTailOf(GetCommandLineW()); }

void Win32Process::Pause(std::chrono::milliseconds duration) {
  // Waits on the message queue too, so the window keeps painting.
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(duration.count());
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    PumpMessages();
  }
}

std::chrono::steady_clock::time_point Win32Process::Now() { return std::chrono::steady_clock::now(); }

FileStamp Win32Process::Clock() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return StampOf(now);
}

std::uint64_t Win32Process::RandomNumber() {
  std::uint64_t number = 0;
  return RtlGenRandom(&number, sizeof number) ? number : Mixed();
}

std::uint64_t Win32Process::ProcessId() { return GetCurrentProcessId(); }

void Win32Process::StartProgram(const std::string& program, const std::string& arguments) {
  const std::wstring path = Wide(program);
  // Taken now: a rename may have given the file a new short name.
  const std::optional<std::wstring> application = ApplicationName(path, ShortForm);
  if (!application) throw PlatformError(texts::kPathTooLongToStart);
  // CreateProcessW may write into the command line, so it gets a copy.
  const std::wstring line = L"\"" + path + L"\" " + Wide(arguments);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application->c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) throw BusyError(SystemText(error));
    if (error == ERROR_FILE_NOT_FOUND) throw MissingError(SystemText(error));
    ThrowSystemError(error);
  }
  // The started program may bring its window to the front.
  AllowSetForegroundWindow(process.dwProcessId);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

std::string Win32Process::ExecutablePath() {
  try {
    return Utf8(ModulePath());
  } catch (const PlatformError&) {
    return "";
  }
}

std::string Win32Process::ProgramSuffix() { return ".EXE"; }

void Win32Process::End(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace quennel::win32
