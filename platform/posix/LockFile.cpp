/// A lock file per program rather than a lock on its folder: any reader of
/// a folder can lock the folder and stall every update, while the lock
/// file is open only to those who may replace the program.

#include "platform/posix/LockFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/posix/OwnFiles.h"
#include "platform/posix/PosixPlatform.h"
#include "update/Leftovers.h"

namespace quennel {
namespace {

/// Tries at a lock file that keeps being removed under us before calling
/// it busy.
constexpr int kLockAttempts = 5;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/// Whether `name` in `folder` still is the file open as `file`.
bool StillNamed(int folder, const std::string& name, const struct stat& file) {
  struct stat listed;
  return fstatat(folder, name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(listed, file);
}

/// Whoever may read the lock file may take a read lock that stalls the
/// writers: ours is for us, or for the group that may write the folder.
void Restrict(int file, const struct stat& folder) {
  mode_t mode = 0600;
  if ((folder.st_mode & S_IWGRP) && fchown(file, static_cast<uid_t>(-1), folder.st_gid) == 0) mode = 0660;
  fchmod(file, mode);
}

/// Another user's lock file is no lock where others could open (and lock)
/// it, or where its owner could not replace the program anyway: in a
/// sticky folder only the folder's owner and the program's may.
bool Untrusted(const struct stat& file, const struct stat& folder, const Target& target) {
  const bool groupWrites = (folder.st_mode & S_IWGRP) && file.st_gid == folder.st_gid;
  if ((file.st_mode & (S_IROTH | S_IWOTH)) || (!groupWrites && (file.st_mode & (S_IRGRP | S_IWGRP)))) return true;
  if (!(folder.st_mode & S_ISVTX) || file.st_uid == folder.st_uid) return false;
  struct stat program;
  return fstatat(target.folder.get(), target.name.c_str(), &program, AT_SYMLINK_NOFOLLOW) != 0 ||
         file.st_uid != program.st_uid;
}

/// Writes our process id, so that the lock file's change time is the
/// folder's "now". Returns whether it did.
bool Stamp(int file) {
  const std::string pid = std::to_string(getpid()) + "\n";
  return ftruncate(file, 0) == 0 && pwrite(file, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
}

/// Removes what killed runs left, under the lock: only our own staging
/// files of this program, and only old ones.
void RemoveStaleStaging(const Target& target, const FileStamp& now) {
  const uid_t runner = geteuid();
  const int folder = target.folder.get();
  const int listed = dup(folder);
  DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
  if (!dir) {
    if (listed >= 0) close(listed);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    if (fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const FoundFile file{entry->d_name, S_ISREG(st.st_mode), runner == 0 || st.st_uid == runner,
                         FileStamp{st.st_ctim.tv_sec, static_cast<std::int32_t>(st.st_ctim.tv_nsec)}};
    if (IsStaleOwnFile(file, target.name, kStaging, NameUnits::Bytes, now)) unlinkat(folder, entry->d_name, 0);
  }
  closedir(dir);
}

/// The held lock: removing its file first, then closing it, lets the next
/// run go; a run that opened the old file finds it no longer named.
class HeldLock : public DestinationLock {
public:
  HeldLock(Target target, std::string name, Fd file)
      : target_(std::move(target)), name_(std::move(name)), file_(std::move(file)) {}
  ~HeldLock() override {
    struct stat st;
    if (fstat(file_.get(), &st) == 0 && StillNamed(target_.folder.get(), name_, st))
      unlinkat(target_.folder.get(), name_.c_str(), 0);
  }

private:
  Target target_;
  std::string name_;
  Fd file_;
};

}  // namespace

std::unique_ptr<DestinationLock> TakeLock(Target target) {
  const int folder = target.folder.get();
  const std::string name = LockFileName(target.name);
  struct stat holder;
  if (fstat(folder, &holder) != 0) return nullptr;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    // Never through a link, never blocking on a pipe planted there.
    Fd file(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (st.st_uid == geteuid()) Restrict(file.get(), holder);
    else if (Untrusted(st, holder, target)) return nullptr;

    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(file.get(), F_OFD_SETLK, &whole) != 0) {
      if (errno == EAGAIN || errno == EACCES) ThrowBusy(errno);
      return nullptr;  // a file system that keeps no locks
    }
    // The holder before us may have removed it as we opened it.
    if (!StillNamed(folder, name, st)) continue;
    struct stat stamped;
    if (Stamp(file.get()) && fstat(file.get(), &stamped) == 0 && target.readable)
      RemoveStaleStaging(target, {stamped.st_ctim.tv_sec, static_cast<std::int32_t>(stamped.st_ctim.tv_nsec)});
    return std::make_unique<HeldLock>(std::move(target), name, std::move(file));
  }
  ThrowBusy(EAGAIN);
}

}  // namespace quennel
