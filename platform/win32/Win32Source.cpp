#include "platform/win32/Win32Source.h"

#include <algorithm>

#include "platform/win32/FileInfo.h"
#include "platform/win32/SystemError.h"

namespace quennel::win32 {

FileStatus Win32Source::Status() { return StatusKeptBy(file_.get()); }

std::size_t Win32Source::Read(unsigned char* bytes, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(file_.get(), bytes, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &got, nullptr))
    ThrowLastError();
  return got;
}

Handle OpenForReading(const std::wstring& path, DWORD access, DWORD flags) {
  Handle file(
      CreateFileW(path.c_str(), GENERIC_READ | access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) throw MissingError(SystemText(error));
    // Open for writing elsewhere: its writer may be finishing it.
    if (error == ERROR_SHARING_VIOLATION) throw BusyError(SystemText(error));
    ThrowSystemError(error);
  }
  // Never a pipe or a device, which could block.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) ThrowSystemError(ERROR_INVALID_FUNCTION);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) ThrowLastError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ThrowSystemError(ERROR_ACCESS_DENIED);
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    ThrowSystemError(ERROR_CANT_ACCESS_FILE);
  return file;
}

std::string ReadWhole(HANDLE file, std::size_t limit) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) ThrowLastError();
  if (static_cast<std::uint64_t>(size.QuadPart) > limit) ThrowSystemError(ERROR_FILE_TOO_LARGE);
  std::string text;
  char buffer[4096];
  for (DWORD got = 0;; text.append(buffer, got)) {
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) ThrowLastError();
    if (got == 0) return text;
    // Grown since its size was asked.
    if (text.size() + got > limit) ThrowSystemError(ERROR_FILE_TOO_LARGE);
  }
}

}  // namespace quennel::win32
