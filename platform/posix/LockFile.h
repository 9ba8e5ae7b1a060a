#pragma once
/// The lock of one installed program: a file beside it that only those who
/// may replace the program can open for writing, locked with an open file
/// description lock, and the clean-up that only its holder does.

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string_view>

#include "platform/Platform.h"
#include "platform/posix/Target.h"

namespace quennel {

/// Longer than any copy takes: a staging file changed this long before
/// the lock was taken belongs to a run that ended.
inline constexpr std::chrono::seconds kStagingLifetime = std::chrono::minutes(10);

/// What the clean-up sees of one file beside the program.
struct FoundFile {
  std::string_view name;
  bool regular = false;
  uid_t owner = 0;
  timespec changed{};  // its status change time
};

/// Whether `file` is a staging file that a run of `runner` left behind:
/// exactly our name for `program`, a regular file, the runner's own (any,
/// for root), and changed more than kStagingLifetime before `now`, the
/// change time of the lock file just written (the folder's own clock,
/// which on a shared folder is not ours).
bool IsStaleStaging(const FoundFile& file, std::string_view program, uid_t runner, const timespec& now);

/// Takes the lock of `target`'s program without waiting, then removes
/// stale staging files. Throws BusyError while another run holds it;
/// returns null where no lock can be had or trusted, and the run goes on
/// without (each replacement is one rename).
std::unique_ptr<DestinationLock> TakeLock(Target target);

}  // namespace quennel
