#pragma once
/// Which of Quennel's own files beside a program a run may clear: what a
/// killed run left, never a live run's copy nor a user's file.

#include <chrono>
#include <string_view>

#include "platform/Platform.h"
#include "update/OwnNames.h"

namespace quennel {

/// Longer than any copy takes: a file of ours changed this long before
/// the lock was taken belongs to a run that ended.
inline constexpr std::chrono::seconds kStagingLifetime = std::chrono::minutes(10);

/// What the clean-up sees of one file beside the program.
struct FoundFile {
  std::string_view name;
  bool regular = false;
  bool ours = false;  // the runner's own, or the runner may clear anyone's (root, an administrator)
  FileStamp changed;  // its status change time
};

/// Whether `file` is exactly our name of `kind` for `program`, a regular
/// file of ours, changed more than kStagingLifetime before `now`: the
/// change time of the lock file just written (the folder's own clock,
/// which on a shared folder is not ours). A live copy keeps renewing its
/// time, so a slow machine's copy survives a fast machine's clean-up.
bool IsStaleOwnFile(const FoundFile& file, std::string_view program, const OwnFileKind& kind, NameUnits units,
                    const FileStamp& now);

}  // namespace quennel
