#pragma once
/// Finding where an installed program really lives, following links the
/// way the kernel does and refusing those other users planted.

#include <string>

#include "platform/posix/Fd.h"

namespace quennel {

/// The installed program's folder, opened, and its name in it.
struct Target {
  Fd folder;
  std::string name;
  /// False where the folder may be searched but not read: `folder` is then
  /// an O_PATH descriptor, with which it cannot be flushed nor listed.
  bool readable = true;
};

/// Opens the folder where `destination` finally leads, each link on the
/// way followed both by the kernel (under its own protections) and by a
/// walk of ours, which refuses a link that neither the runner nor the
/// owner of its folder made when others may write that folder. The two
/// must arrive at the same file. A dangling link is an error: writing
/// through it could plant a file wherever it points. With `makeFolders`,
/// the path's own missing folders are made on the way (mkdirat, the
/// umask applied), never one that a link's target names. Throws
/// PlatformError.
Target OpenTarget(const std::string& destination, bool makeFolders);

/// The same place with a descriptor of its own, for what outlives the
/// first (a new file, a lock). Throws PlatformError.
Target Duplicate(const Target& place);

}  // namespace quennel
