#include "update/Leftovers.h"

namespace quennel {

bool IsStaleOwnFile(const FoundFile& file, std::string_view program, const OwnFileKind& kind, NameUnits units,
                    const FileStamp& now) {
  if (!file.regular || !file.ours || !IsOwnFileName(file.name, program, kind, units)) return false;
  const auto age = std::chrono::seconds(now.seconds - file.changed.seconds) +
                   std::chrono::nanoseconds(now.nanoseconds - file.changed.nanoseconds);
  return age > kStagingLifetime;
}

}  // namespace quennel
