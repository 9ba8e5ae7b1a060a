#pragma once
/// The rules the Windows replacement follows, apart from the calls that
/// carry them out.

#include <windows.h>

#include <string>

#include "platform/Platform.h"

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

/// Renames the open file `file` to `to` (a full path), replacing what is
/// there when `replace` is set; the handle keeps guarding the file.
bool RenameByHandle(HANDLE file, const std::wstring& to, bool replace);

/// Renames the running image `installed` (open for delete) to `aside`, then
/// the open file `replacement` to `target`. False when the first rename
/// fails (nothing changed; GetLastError tells why); when the second fails,
/// the old file goes back under `target` and the second's error is thrown.
bool ReplaceSettingAside(HANDLE installed, HANDLE replacement, const std::wstring& target,
                         const std::wstring& aside);

/// Whether a lock file another run made, owned by `owner` with the access
/// list `dacl`, is a lock: nobody but those who may replace the program
/// (`runner`, `folderOwner`, Administrators, SYSTEM) owns it or may do more
/// than look at it. Whoever can open it can lock it and stall every update.
bool TrustedLockRules(PSID owner, PACL dacl, PSID runner, PSID folderOwner);

/// Removes what killed runs left beside `target` (its real path): only
/// staging and set-aside files named exactly after it, regular, the
/// runner's (any, for an administrator), changed more than the staging
/// lifetime before `now` (the lock file's change time). What cannot go yet
/// stays as it was.
void ClearLeftovers(const std::wstring& target, const FileStamp& now);

/// Where `target` (its real path) is missing while an old version set
/// aside beside it survives (a run killed between its two renames), puts
/// the newest such copy back under its name. Returns whether it did.
bool RestoreSetAside(const std::wstring& target);

}  // namespace quennel::win32
