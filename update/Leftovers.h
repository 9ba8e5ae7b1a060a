#pragma once
/// What a run clears beside the program under its lock: what killed runs
/// left, never a live run's copy nor a user's file; and the old version a
/// run killed between its two renames left aside.

#include <chrono>
#include <string_view>

#include "platform/Platform.h"
#include "update/OwnNames.h"

namespace quennel {

/// Longer than any copy takes: a file of ours changed this long before
/// the lock was taken belongs to a run that ended.
inline constexpr std::chrono::seconds kStagingLifetime = std::chrono::minutes(10);

/// Whether `changed` lies more than kStagingLifetime before `now`, compared
/// as (seconds, nanoseconds) pairs, so no time a file system reports can
/// overflow.
bool OlderThanLifetime(const FileStamp& changed, const FileStamp& now);

/// Removes, beside the program `place` holds, the staging, set-aside and
/// signature files named exactly after it that are regular files of the
/// runner's (anyone's for an administrator) changed more than
/// kStagingLifetime before `now`: the change time of the lock file just
/// written, the folder's own clock, which on a shared folder is not ours.
/// A live copy keeps renewing its time, so a slow machine's copy survives
/// a fast machine's clean-up.
void ClearLeftovers(Files& files, Place& place, const FileStamp& now);

/// Where the program is missing and a copy of it set aside survives (a run
/// killed between its two renames), puts the newest such copy back, when it
/// belongs to the system, the folder's owner or the runner: another user's
/// look-alike stays where it is. Returns whether it did.
bool PutBackStranded(Files& files, Place& place);

}  // namespace quennel
