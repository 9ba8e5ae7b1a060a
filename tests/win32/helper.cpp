/// A stand-in for the installed program and for whatever holds it:
///   --hold PATH MS EVENT  opens PATH sharing only reading (no writing, renaming
///                         or deleting), signals EVENT, holds it MS ms
///   --run MS EVENT        signals EVENT and runs for MS ms (a program in use)
///   --lock PATH MS EVENT  opens PATH for reading and writing, locks its first
///                         byte, signals EVENT, holds it MS ms
///   anything else         adds its own command line (UTF-16) as a line to
///                         EXE.starts, then stays for the milliseconds
///                         written in EXE.stay, if any
/// EVENT names an event the test waits on, so it knows the file is held.

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

void Signal(const wchar_t* name) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return;
  SetEvent(event);
  CloseHandle(event);
}

/// Appends `text` to `path` in one write, whoever else appends meanwhile:
/// one writer at a time, as wine's appends from two processes can overlap.
void Append(const std::wstring& path, const std::wstring& text) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      Sleep(10);
      continue;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return;
  }
}

int Record() {
  wchar_t self[32768];
  const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  if (length == 0 || length >= 32768) return 3;
  Append(std::wstring(self) + L".starts", std::wstring(GetCommandLineW()) + L"\n");
  HANDLE stayFile = CreateFileW((std::wstring(self) + L".stay").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (stayFile != INVALID_HANDLE_VALUE) {
    char digits[16] = {};
    DWORD got = 0;
    ReadFile(stayFile, digits, sizeof digits - 1, &got, nullptr);
    CloseHandle(stayFile);
    Sleep(static_cast<DWORD>(std::strtoul(digits, nullptr, 10)));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"--hold") == 0) {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 6;
    Signal(argv[4]);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    CloseHandle(file);
    return 0;
  }
  if (argc == 5 && std::wcscmp(argv[1], L"--lock") == 0) {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    OVERLAPPED first{};
    if (file == INVALID_HANDLE_VALUE || !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first)) return 7;
    Signal(argv[4]);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    CloseHandle(file);
    return 0;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"--run") == 0) {
    Signal(argv[3]);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return 0;
  }
  return Record();
}
