#pragma once
/// A file open for reading, and reading a small one whole.

#include <windows.h>

#include <cstddef>
#include <string>

#include "platform/Files.h"
#include "platform/win32/Handle.h"

namespace quennel::win32 {

class Win32Source final : public Source {
public:
  explicit Win32Source(Handle file) : file_(std::move(file)) {}
  FileStatus Status() override;
  std::size_t Read(unsigned char* bytes, std::size_t size) override;

private:
  Handle file_;
};

/// Opens `path` (extended) for reading with `access` beyond GENERIC_READ,
/// sharing reading only, and with `flags`: a regular file on a disk only.
/// MissingError where there is none, BusyError while another holds it open
/// for writing, PlatformError otherwise (a folder, a pipe, and with
/// FILE_FLAG_OPEN_REPARSE_POINT a link).
Handle OpenForReading(const std::wstring& path, DWORD access, DWORD flags);

/// All of the open file, at most `limit` bytes. Throws PlatformError
/// (ERROR_FILE_TOO_LARGE past the limit).
std::string ReadWhole(HANDLE file, std::size_t limit);

}  // namespace quennel::win32
