#include "update/StoredTime.h"

namespace quennel {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
/// The clocks file systems keep, finest first, in nanoseconds (NTFS and SMB,
/// some NFS servers, milliseconds, exFAT's 10 ms, ext3 with small inodes,
/// FAT's 2 s).
constexpr std::int64_t kClocks[] = {100, 1'000, 1'000'000, 10'000'000, kSecond, 2 * kSecond};

}  // namespace

std::optional<FileStamp> RoundUp(FileStamp time, std::int64_t step) {
  if (step < kSecond) {
    const std::int64_t ns = (time.nanoseconds + step - 1) / step * step;
    if (ns < kSecond) return FileStamp{time.seconds, static_cast<std::int32_t>(ns)};
    if (__builtin_add_overflow(time.seconds, 1, &time.seconds)) return std::nullopt;
    return FileStamp{time.seconds, 0};
  }
  if (time.nanoseconds > 0) {
    time.nanoseconds = 0;
    if (__builtin_add_overflow(time.seconds, 1, &time.seconds)) return std::nullopt;
  }
  const std::int64_t seconds = step / kSecond;
  const std::int64_t past = time.seconds % seconds;  // negative before 1970
  if (past == 0) return time;
  if (__builtin_add_overflow(time.seconds, past > 0 ? seconds - past : -past, &time.seconds)) return std::nullopt;
  return time;
}

void KeepTimeAtLeast(FileStamp wanted, const std::function<FileStamp(FileStamp)>& store) {
  FileStamp stored = store(wanted);
  FileStamp tried = wanted;
  for (const std::int64_t step : kClocks) {
    if (stored >= wanted) return;
    const std::optional<FileStamp> next = RoundUp(wanted, step);
    if (!next) return;  // out of range: the nearest it keeps stays
    if (*next <= tried) continue;  // nothing new to try at this clock
    tried = *next;
    stored = store(tried);
  }
}

}  // namespace quennel
