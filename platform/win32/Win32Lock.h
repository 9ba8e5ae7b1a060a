#pragma once
/// One replacement at a time per program: a lock file beside the file
/// really replaced, named after its real name so every spelling of the
/// program meets the same lock, on this machine and on any other that
/// shares the folder. Only those who may replace the program can open it:
/// whoever can open a file can lock it and stall every update.

#include <windows.h>

#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/win32/Handle.h"

namespace quennel::win32 {

/// The held lock; dropping it unlocks and closes the file, which stays,
/// hidden, for the next run (the system lets a killed holder's lock go).
class Win32Lock final : public HeldLock {
public:
  explicit Win32Lock(Handle file) : file_(std::move(file)) {}
  ~Win32Lock() override;
  std::optional<FileStamp> Stamp(const std::string& text) noexcept override;

private:
  Handle file_;
};

/// Takes the lock file `path` in `folder` (extended, with its trailing
/// backslash) without waiting: made with its own access list when there is
/// none, else only a lone regular file that only those who may replace the
/// program own and may use. BusyError while another run holds it; null
/// where no lock can be had or trusted.
std::unique_ptr<HeldLock> TakeLockFile(const std::wstring& path, const std::wstring& folder);

/// Whether a program in `folder` is between the two renames of its
/// replacement: set aside, its name free, its lock held by another run.
bool RenameUnderWay(const std::wstring& folder);

/// Whether a lock file another run made, owned by `owner` with the access
/// list `dacl`, is a lock: nobody but those who may replace the program
/// (`runner`, `folderOwner`, Administrators, SYSTEM) owns it or may do more
/// than look at it.
bool TrustedLockRules(PSID owner, PACL dacl, PSID runner, PSID folderOwner);

}  // namespace quennel::win32
