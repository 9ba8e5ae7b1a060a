#include "platform/win32/Win32Aside.h"

#include "platform/win32/Rename.h"

namespace quennel::win32 {

bool Win32Aside::PutBack() noexcept { return RenameByHandle(file_.get(), program_, false); }

void Win32Aside::DeleteWhenUnused() noexcept {
  // Refused while it runs: a later replacement clears it then.
  DeleteByHandle(file_.get());
}

}  // namespace quennel::win32
