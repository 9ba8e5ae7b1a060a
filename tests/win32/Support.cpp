#include "tests/win32/Support.h"

#include <stdexcept>
#include <thread>

#include "platform/win32/Text.h"

namespace quennel::test {
namespace {

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + L"\\");
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed, error " + std::to_string(GetLastError()));
}

}  // namespace

FileStamp AnHourOn() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return FileStamp{static_cast<std::int64_t>(ticks / 10'000'000) - 11'644'473'600 + 3600, 0};
}

TempFolder::TempFolder() {
  static int serial = 0;
  wchar_t temp[MAX_PATH + 1];
  Check(GetTempPathW(MAX_PATH + 1, temp) != 0, "GetTempPathW");
  path_ = std::wstring(temp) + L"quennel test é ü 中 " + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++serial) + L"\\";
  RemoveTree(path_);
  Check(CreateDirectoryW(path_.c_str(), nullptr), "CreateDirectoryW");
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::vector<std::wstring> TempFolder::Names(std::wstring_view part) const { return NamesIn(path_, part); }

std::vector<std::wstring> NamesIn(const std::wstring& folder, std::wstring_view part) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.find(part) != std::wstring::npos)
      names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::wstring ProgramFolder() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  Check(length > 0 && length < MAX_PATH, "GetModuleFileNameW");
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring HelperPath() { return ProgramFolder() + L"quennel_test_helper.exe"; }
std::wstring QuennelPath() { return ProgramFolder() + L"quennel.exe"; }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "CreateFileW");
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  Check(ok && written == bytes.size(), "WriteFile");
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "CreateFileW");
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return bytes;
}

FILETIME Day(int days) {
  // 2001-01-01 is 400 years, 146,097 days, after 1601-01-01 (the FILETIME epoch).
  const ULONGLONG ticks = (146097ull + static_cast<ULONGLONG>(days)) * 864000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void SetModified(const std::wstring& path, const FILETIME& time) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "CreateFileW");
  const BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  Check(ok, "SetFileTime");
}

void WriteDated(const std::wstring& path, const std::string& bytes, int day) {
  WriteBytes(path, bytes);
  SetModified(path, Day(day));
}

HWND ShownWindow() {
  HWND found = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM result) {
        if (!IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

Child::Child(Child&& other) noexcept : process_(other.process_) { other.process_ = nullptr; }

Child::~Child() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 9);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
}

Child Child::Start(const std::wstring& program, const std::wstring& arguments, bool ready) {
  static int serial = 0;
  const std::wstring eventName = L"Local\\quennel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(++serial);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  Check(event != nullptr, "CreateEventW");
  std::wstring line = L"\"" + program + L"\" " + arguments + (ready ? L" " + eventName : L"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info);
  if (!ok) CloseHandle(event);
  Check(ok, "CreateProcessW");
  CloseHandle(info.hThread);
  Child child;
  child.process_ = info.hProcess;
  if (ready) {
    HANDLE waits[] = {event, info.hProcess};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 30000);
    CloseHandle(event);
    if (woke != WAIT_OBJECT_0) throw std::runtime_error("the helper did not get ready");
  } else {
    CloseHandle(event);
  }
  return child;
}

std::optional<DWORD> Child::Wait(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return code;
}

Child HoldFile(const std::wstring& path, int milliseconds) {
  return Child::Start(HelperPath(), L"--hold \"" + path + L"\" " + std::to_wstring(milliseconds), true);
}

Child RunProgram(const std::wstring& path, int milliseconds) {
  return Child::Start(path, L"--run " + std::to_wstring(milliseconds), true);
}

std::optional<std::wstring> AwaitRecord(const std::wstring& program, std::chrono::milliseconds timeout) {
  const std::wstring record = program + L".cmdline";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (GetFileAttributesW(record.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string bytes = ReadBytes(record);
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

::testing::AssertionResult HasBytes(const std::wstring& path, const std::string& expected) {
  const std::string bytes = ReadBytes(path);
  if (bytes == expected) return ::testing::AssertionSuccess();
  size_t first = 0;
  while (first < bytes.size() && first < expected.size() && bytes[first] == expected[first]) ++first;
  return ::testing::AssertionFailure() << Utf8(path) << " has " << bytes.size() << " bytes, not the "
                                     << expected.size() << " expected; they differ from byte " << first;
}

std::string Utf8(const std::wstring& wide) { return win32::Utf8(wide); }

}  // namespace quennel::test
