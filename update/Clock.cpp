#include "update/Clock.h"

#include <cstdint>
#include <limits>

namespace quennel {

FileStamp Shifted(FileStamp time, std::chrono::seconds shift) {
  std::int64_t seconds = 0;
  if (__builtin_add_overflow(time.seconds, shift.count(), &seconds))
    return shift.count() > 0 ? FileStamp{std::numeric_limits<std::int64_t>::max(), 999'999'999}
                             : FileStamp{std::numeric_limits<std::int64_t>::min(), 0};
  return {seconds, time.nanoseconds};
}

}  // namespace quennel
