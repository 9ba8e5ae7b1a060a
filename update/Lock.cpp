#include "update/Lock.h"

#include "update/Leftovers.h"
#include "update/OwnNames.h"

namespace quennel {

std::unique_ptr<HeldLock> TakeLock(Platform platform, Place& place) {
  std::unique_ptr<HeldLock> lock = place.Lock(LockFileName(place.Name(), platform.files.Names()));
  if (!lock) return nullptr;
  const std::optional<FileStamp> now = lock->Stamp(std::to_string(platform.process.ProcessId()) + "\n");
  // A run killed between its two renames left the program aside: it goes
  // back, so that it starts even when the new version is out of reach.
  try {
    if (!place.Look(place.Name())) PutBackStranded(platform.files, place);
  } catch (const PlatformError&) {
  }
  if (now) ClearLeftovers(platform.files, place, *now);
  return lock;
}

}  // namespace quennel
