#include "platform/win32/Win32Platform.h"

#include <vector>

#include "platform/WindowsQuoting.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

/// 1601-01-01, where FILETIME counts from, in seconds before 1970.
constexpr std::int64_t kEpochGap = 11'644'473'600;

/// The short form of `path` as the volume keeps it, or empty.
std::wstring ShortForm(const std::wstring& path) {
  const std::wstring extended = Extended(path);
  std::wstring shorter(extended.size() + 1, L'\0');
  const DWORD length = GetShortPathNameW(extended.c_str(), shorter.data(), static_cast<DWORD>(shorter.size()));
  if (length == 0 || length >= shorter.size()) return L"";
  shorter.resize(length);
  return shorter;
}

}  // namespace

std::optional<std::wstring> ApplicationName(const std::wstring& program,
                                            const std::function<std::wstring(const std::wstring&)>& shortForm) {
  if (program.size() < MAX_PATH) return program;
  std::wstring shorter = shortForm(program);
  // The application name takes no \\?\ form.
  if (shorter.starts_with(LR"(\\?\UNC\)")) shorter = LR"(\\)" + shorter.substr(8);
  else if (shorter.starts_with(LR"(\\?\)")) shorter = shorter.substr(4);
  if (shorter.empty() || shorter.size() >= MAX_PATH) return std::nullopt;
  return shorter;
}

FileStamp StampOf(const FILETIME& time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return FileStamp{static_cast<std::int64_t>(ticks / 10'000'000) - kEpochGap,
                   static_cast<std::int32_t>(ticks % 10'000'000) * 100};
}

FILETIME FileTimeOf(const FileStamp& stamp) {
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(stamp.seconds + kEpochGap) * 10'000'000 + static_cast<std::uint64_t>(stamp.nanoseconds / 100);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::string Win32Platform::CommandTail() { return CommandTailOf(GetCommandLineW()); }

void Win32Platform::PumpEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

FileStatus Win32Platform::Stat(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Extended(Wide(path)).c_str(), GetFileExInfoStandard, &data)) ThrowLastError();
  return {(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, StampOf(data.ftLastWriteTime),
          (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

void Win32Platform::Pause(std::chrono::milliseconds duration) {
  // Waits on the message queue too, so the window keeps painting.
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(duration.count());
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    PumpEvents();
  }
}

std::chrono::steady_clock::time_point Win32Platform::Now() { return std::chrono::steady_clock::now(); }

void Win32Platform::StartProgram(const std::string& commandLine, WindowMode mode) {
  const std::wstring program = Wide(SplitLaunchCommand(commandLine).program);
  // Taken now: a rename may have given the file a new short name.
  const std::optional<std::wstring> application =
      program.empty() ? std::optional<std::wstring>(L"") : ApplicationName(program, ShortForm);
  if (!application) throw PlatformError(texts::kPathTooLongToStart);
  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring line = Wide(commandLine);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  switch (mode) {
    case WindowMode::Normal: startup.wShowWindow = SW_SHOWNORMAL; break;
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application->empty() ? nullptr : application->c_str(), buffer.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &process)) {
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

HWND Win32Platform::Owner() const {
  const HWND window = window_.Handle();
  return window && IsWindowVisible(window) ? window : nullptr;
}

void Win32Platform::ShowMessage(const std::string& text, MessageStyle style,
                                const std::optional<std::string>& title) {
  UINT icon = MB_ICONWARNING;
  switch (style) {
    case MessageStyle::Critical: icon = MB_ICONERROR; break;
    case MessageStyle::Warning: icon = MB_ICONWARNING; break;
    case MessageStyle::Information: icon = MB_ICONINFORMATION; break;
  }
  MessageBoxW(Owner(), Wide(text).c_str(), Wide(title.value_or(texts::kProgramTitle)).c_str(),
              icon | MB_OK | MB_SETFOREGROUND);
}

void Win32Platform::SetLabelText(int index, const std::string& text) { window_.SetLabel(index, Wide(text)); }

void Win32Platform::ShowProgressWindow() {
  // Without a desktop to show it on, the replacement still goes ahead.
  window_.Show();
}

void Win32Platform::ShowCopyProgress(double fraction) noexcept { window_.ShowProgress(fraction); }

void Win32Platform::ShowNotice(const std::string&) {
  // The window is on screen whenever there is something to say.
}

void Win32Platform::PlayBeep() { MessageBeep(MB_OK); }

void Win32Platform::SetPointer(PointerShape shape) {
  window_.SetCursorShape(LoadCursorW(nullptr, shape == PointerShape::Busy ? IDC_WAIT : IDC_ARROW));
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) ThrowLastError();
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

std::string Win32Platform::ExecutableName() {
  const std::wstring path = ModulePath();
  const size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return Utf8(name);
}

std::string Win32Platform::ProgramSuffix() { return ".EXE"; }

void Win32Platform::End(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace quennel::win32
