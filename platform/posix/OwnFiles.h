#pragma once
/// The names of Quennel's own files beside a program on POSIX, hidden by a
/// leading dot. The lock's four letters can never pass for a staging
/// file's six random ones, nor the other way round.

#include <string>
#include <string_view>

#include "update/OwnNames.h"

namespace quennel {

/// A copy being staged: `.NAME.quennel~XXXXXX`.
inline constexpr OwnFileKind kStaging{".", 6, ""};
/// The lock of one program: `.NAME.quennel~lock`.
inline constexpr OwnFileKind kLock{".", 4, ""};

inline std::string LockFileName(std::string_view program) {
  return OwnFileName(program, kLock, "lock", NameUnits::Bytes);
}

}  // namespace quennel
