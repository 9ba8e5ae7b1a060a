/// A copied file must be as new as its source once stored, or the next
/// start finds the source newer and copies it again.

#include "platform/posix/StoredTime.h"

#include <sys/stat.h>

#include <cerrno>

namespace quennel {
namespace {

constexpr long kSecond = 1'000'000'000;
/// The clocks file systems keep, finest first, in nanoseconds (NTFS and SMB,
/// some NFS servers, exFAT's 10 ms, ext3 with small inodes, FAT's 2 s).
constexpr long long kClocks[] = {100, 1'000, 1'000'000, 10'000'000, kSecond, 2 * kSecond};

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

/// `t` rounded up to a whole multiple of `step` nanoseconds (steps of a
/// second or more count from 1970, before it too). False on overflow.
bool RoundUp(timespec& t, long long step) {
  if (step < kSecond) {
    const long long ns = (t.tv_nsec + step - 1) / step * step;
    if (ns < kSecond) {
      t.tv_nsec = static_cast<long>(ns);
      return true;
    }
    t.tv_nsec = 0;
    return !__builtin_add_overflow(t.tv_sec, 1, &t.tv_sec);
  }
  if (t.tv_nsec > 0) {
    t.tv_nsec = 0;
    if (__builtin_add_overflow(t.tv_sec, 1, &t.tv_sec)) return false;
  }
  const time_t seconds = static_cast<time_t>(step / kSecond);
  const time_t past = t.tv_sec % seconds;  // negative before 1970
  return past == 0 || !__builtin_add_overflow(t.tv_sec, past > 0 ? seconds - past : -past, &t.tv_sec);
}

/// Sets the modification time and reads back what was stored.
int SetAndRead(int fd, const timespec& mtime, bool touchAccess, timespec& stored) {
  const timespec times[2] = {{0, touchAccess ? UTIME_NOW : UTIME_OMIT}, mtime};
  struct stat st;
  if (futimens(fd, times) != 0 || fstat(fd, &st) != 0) return errno;
  stored = st.st_mtim;
  return 0;
}

}  // namespace

int StoreTime(int fd, const timespec& wanted) {
  timespec stored;
  if (const int error = SetAndRead(fd, wanted, true, stored); error != 0) return error;
  timespec tried = wanted;
  for (const long long step : kClocks) {
    if (!Before(stored, wanted)) return 0;
    timespec next = wanted;
    if (!RoundUp(next, step)) break;
    if (!Before(tried, next)) continue;  // nothing new to try at this clock
    tried = next;
    if (const int error = SetAndRead(fd, next, false, stored); error != 0) return error;
  }
  // A time this file system cannot hold at all (out of its range): it keeps
  // its nearest, and the next start will copy again.
  return 0;
}

}  // namespace quennel
