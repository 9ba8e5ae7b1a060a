#pragma once
/// Renames and deletes through a file's own handle, and what a refusal of
/// one means: whatever its name comes to lead to, the handle keeps
/// guarding the very file that was opened.

#include <windows.h>

#include <string>

namespace quennel::win32 {

/// Why a file could not be renamed over or aside.
enum class Refusal {
  Lasting,  // waiting will not help: a folder, a permission refusal, anything else
  Busy,     // open elsewhere without delete sharing: wait for it
  Running,  // the image of a running program: it can be set aside
};

/// Tells the refusals apart from the rename's error, the destination's
/// attributes (INVALID_FILE_ATTRIBUTES when unknown) and the error of
/// opening it for delete access (0 when that succeeded): a running image
/// allows that open, a handle without delete sharing gives a sharing
/// violation, and a permission refusal gives "access denied" again.
Refusal ClassifyRefusal(DWORD renameError, DWORD destinationAttributes, DWORD deleteOpenError);

/// Renames the open file `file` (opened with DELETE) to `to`, a full path,
/// replacing what is there when `replace` is set. False with the system's
/// error for GetLastError.
bool RenameByHandle(HANDLE file, const std::wstring& to, bool replace);

/// Deletes the open file `file` (opened with DELETE and both attribute
/// rights). A read-only attribute is cleared for it, and put back when the
/// delete is refused (a program still running): nothing is left more open
/// than it was.
void DeleteByHandle(HANDLE file) noexcept;

/// What a program's attributes hand on to its new version.
inline constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
/// Gives the open file (opened with both attribute rights) `attributes`
/// in place of its kept ones; its times stay as they are.
bool SetKeptAttributes(HANDLE file, DWORD attributes);

/// Raises the refusal of a rename onto or of `destination` (a full path)
/// with `error`, told apart by `destination` as it is now: RunningError,
/// BusyError or PlatformError, with the system's text.
[[noreturn]] void ThrowRefusal(DWORD error, const std::wstring& destination);

}  // namespace quennel::win32
