#pragma once
/// The rules the Windows replacement follows, apart from the calls that
/// carry them out.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace quennel::win32 {

/// Why the destination could not be replaced.
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

/// Gives a file `wanted` as its time through `store`, which sets a time and
/// returns what the file system kept. Where it keeps less (FAT's 2 s,
/// exFAT's 10 ms), the smallest later time it keeps is stored instead, so
/// the file never looks older than `wanted`. Returns the time kept.
std::uint64_t KeepTimeAtLeast(std::uint64_t wanted, const std::function<std::uint64_t(std::uint64_t)>& store);

/// Renames the open file `file` to `to` (a full path), replacing what is
/// there when `replace` is set; the handle keeps guarding the file.
bool RenameByHandle(HANDLE file, const std::wstring& to, bool replace);

}  // namespace quennel::win32
