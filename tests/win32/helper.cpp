/// A stand-in for the installed program and for whatever holds it:
///   --hold PATH MS EVENT  opens PATH with no sharing, signals EVENT, holds it MS ms
///   --run MS EVENT        signals EVENT and runs for MS ms (a program in use)
///   anything else         writes its own command line (UTF-16) to EXE.cmdline
/// EVENT names an event the test waits on, so it knows the file is held.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void Signal(const wchar_t* name) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return;
  SetEvent(event);
  CloseHandle(event);
}

int Record() {
  wchar_t self[32768];
  const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  if (length == 0 || length >= 32768) return 3;
  const std::wstring record = std::wstring(self) + L".cmdline";
  const std::wstring partial = record + L".part";
  const std::wstring line = GetCommandLineW();
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 4;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  // Renamed into place whole, so a reader never sees half of it.
  if (!ok || !MoveFileExW(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING)) return 5;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"--hold") == 0) {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 6;
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
