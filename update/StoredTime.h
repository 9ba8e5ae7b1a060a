#pragma once
/// Giving a copied file a modification time that its file system may keep
/// coarser: the copy must be as new as its source once stored, or the next
/// start finds the source newer and copies it again.

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/Platform.h"

namespace quennel {

/// `time` rounded up to a whole multiple of `step` nanoseconds (steps of a
/// second or more count from 1970, before it too); nothing on overflow.
std::optional<FileStamp> RoundUp(FileStamp time, std::int64_t step);

/// Gives a file `wanted` through `store`, which sets a time and returns
/// what the file system kept, or throws PlatformError, which goes up. Where
/// the kept time is earlier (a clock of 100 ns, microseconds, milliseconds,
/// 10 ms, seconds or 2 s), the smallest later time it keeps is stored
/// instead. A time out of the file system's range stays at its nearest.
void KeepTimeAtLeast(FileStamp wanted, const std::function<FileStamp(FileStamp)>& store);

}  // namespace quennel
