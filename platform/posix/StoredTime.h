#pragma once
/// Giving a file a modification time that its file system may keep coarser.

#include <ctime>

namespace quennel {

/// Gives the open file `fd` the modification time `wanted` (its access time
/// becomes now), then reads back what the file system stored. Where that is
/// earlier (a clock of 100 ns, microseconds, milliseconds, 10 ms, seconds or
/// 2 s), the smallest later time it keeps is stored instead, so the file is
/// never older than `wanted`. Returns 0 or an errno value.
int StoreTime(int fd, const timespec& wanted);

}  // namespace quennel
