#include "tests/win32/Support.h"

#include <aclapi.h>
#include <sddl.h>

#include <stdexcept>
#include <thread>

#include "platform/win32/EventLog.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Process.h"
#include "platform/win32/Win32Screen.h"
#include "tests/RunForm.h"

namespace quennel::test {
namespace {

void RemoveTree(const std::wstring& folder) {
  win32::ForEachFound(folder + L"*", [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName, path = folder + name;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    } else if (name != L"." && name != L"..") {
      RemoveTree(path + L"\\");
    }
    return true;
  });
  RemoveDirectoryW(folder.c_str());
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed, error " + std::to_string(GetLastError()));
}

/// The real process, but for the command tail and the end.
class CaughtProcess final : public win32::Win32Process {
public:
  explicit CaughtProcess(std::string tail) : tail_(std::move(tail)) {}
  std::string CommandTail() override { return tail_; }
  [[noreturn]] void End(int status) override { throw testing::Ended{status}; }

private:
  std::string tail_;
};

/// The real screen, keeping each box's text (no desktop: a box returns at once).
class CaughtScreen final : public win32::Win32Screen {
public:
  explicit CaughtScreen(std::vector<std::string>& boxes) : boxes_(boxes) {}
  void ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) override {
    boxes_.push_back(text);
    Win32Screen::ShowMessage(text, style, title);
  }

private:
  std::vector<std::string>& boxes_;
};

}  // namespace

TempFolder::TempFolder() {
  static int serial = 0;
  wchar_t temp[MAX_PATH + 1];
  Check(GetTempPathW(MAX_PATH + 1, temp) != 0, "GetTempPathW");
  path_ = std::wstring(temp) + L"quennel test \u00e9 \u00fc \u4e2d " + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++serial) + L"\\";
  RemoveTree(path_);
  Check(CreateDirectoryW(path_.c_str(), nullptr), "CreateDirectoryW");
}

TempFolder::~TempFolder() { RemoveTree(LR"(\\?\)" + path_); }  // deep folders too

std::vector<std::wstring> NamesIn(const std::wstring& folder, std::wstring_view part) {
  std::vector<std::wstring> names;
  win32::ForEachFound(folder + L"*", [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.find(part) != std::wstring::npos)
      names.push_back(name);
    return true;
  });
  return names;
}

std::wstring ProgramFolder() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  Check(length > 0 && length < MAX_PATH, "GetModuleFileNameW");
  const std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring HelperPath() { return ProgramFolder() + L"quennel_test_helper.exe"; }
std::wstring QuennelPath() { return ProgramFolder() + L"quennel.exe"; }

void WriteBytes(const std::wstring& path, const std::string& bytes, std::optional<int> day) {
  const win32::Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  Check(file.valid(), "CreateFileW");
  DWORD written = 0;
  Check(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr), "WriteFile");
  // 2001-01-01 is 400 years, 146,097 days, after 1601-01-01 (the FILETIME epoch).
  const ULONGLONG ticks = (146097ull + static_cast<ULONGLONG>(day.value_or(0))) * 864000000000ull;
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  Check(!day || SetFileTime(file.get(), nullptr, nullptr, &time), "SetFileTime");
}

std::string ReadBytes(const std::wstring& path) {
  const win32::Handle file(
      CreateFileW(path.c_str(), GENERIC_READ, win32::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  Check(file.valid(), "CreateFileW");
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

::testing::AssertionResult HasBytes(const std::wstring& path, const std::string& expected) {
  const std::string bytes = ReadBytes(path);
  if (bytes == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Utf8(path) << " has " << bytes.size() << " bytes, not the " << expected.size()
                                       << " expected";
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Utf8(const std::wstring& wide) { return win32::Utf8(wide); }

std::wstring Rules(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor);
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                       nullptr);
  std::wstring result = text ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

void SetRules(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  Check(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr), "SDDL");
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
  LocalFree(descriptor);
  SetLastError(error);
  Check(error == ERROR_SUCCESS, "SetNamedSecurityInfoW");
}

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
  const std::wstring eventName =
      L"Local\\quennel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  Check(event != nullptr, "CreateEventW");
  std::wstring line = L"\"" + program + L"\" " + arguments + (ready ? L" " + eventName : L"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL ok =
      CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
  if (ok) CloseHandle(info.hThread);
  Child child;
  child.process_ = ok ? info.hProcess : nullptr;
  HANDLE waits[] = {event, info.hProcess};
  const bool signalled = !ready || (ok && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0);
  CloseHandle(event);
  Check(ok, "CreateProcessW");
  if (!signalled) throw std::runtime_error("the helper did not get ready");
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

std::vector<std::wstring> Starts(const std::wstring& program) {
  if (!Exists(program + L".starts")) return {};
  const std::string bytes = ReadBytes(program + L".starts");
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  std::vector<std::wstring> lines;
  for (size_t begin = 0, end; (end = text.find(L'\n', begin)) != std::wstring::npos; begin = end + 1)
    lines.push_back(text.substr(begin, end - begin));
  return lines;
}

std::vector<std::wstring> AwaitStarts(const std::wstring& program, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (Starts(program).size() < count && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  return Starts(program);
}

void InstallTest::SetUp() {
  ASSERT_TRUE(CreateDirectoryW(source.substr(0, source.rfind(L'\\')).c_str(), nullptr));
  WriteBytes(installed, oldBits, 100);
  WriteBytes(source, newBits, 200);
}

Child InstallTest::Start(const std::wstring& dest, const std::wstring& arguments) const {
  return Child::Start(QuennelPath(), L"\"" + source + L"\" \"" + dest + L"\" " + arguments, false);
}

int InstallTest::RunHere(Files& with, const std::string& tail, std::chrono::milliseconds busyLimit) {
  CaughtProcess process(tail);
  CaughtScreen screen(boxes);
  win32::EventLog log;
  return testing::RunForm({with, process, screen, log}, busyLimit);
}

}  // namespace quennel::test
