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

/// Takes the lock file `path` of the program `program` in `folder` (all
/// extended, the folder with its trailing backslash) without waiting. A
/// file this run makes gets the access list DeriveLockRules gives for the
/// program and folder as they are; one that is there is a lock only as a
/// lone regular file whose rules are trusted (any, on a volume without
/// access lists); one that is not, while nobody has it open, is removed
/// and made again. BusyError while another run holds it; null where no
/// lock can be had.
std::unique_ptr<HeldLock> TakeLockFile(const std::wstring& path, const std::wstring& program,
                                       const std::wstring& folder);

/// Whether a program of `folder` other than `name` has its name free while
/// a copy of it set aside stands there or its lock file is held: between
/// the two renames of its replacement, or left so by a killed run. A name
/// that leads nowhere then may be one of its other names (an 8.3 alias).
bool OtherProgramAside(const std::wstring& folder, const std::wstring& name);

}  // namespace quennel::win32
