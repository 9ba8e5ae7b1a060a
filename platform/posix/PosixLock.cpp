/// A lock file per program rather than a lock on its folder: any reader of
/// a folder can lock the folder and stall every update, while the lock
/// file is open only to those who may replace the program.

#include "platform/posix/PosixLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"

namespace quennel {
namespace {

/// Tries at a lock file that keeps being removed under us before calling
/// it busy.
constexpr int kLockAttempts = 5;

/// Whether `name` in `folder` still is the file open as `file`.
bool StillNamed(int folder, const std::string& name, int file) {
  struct stat open, named;
  return fstat(file, &open) == 0 && fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(open, named);
}

/// Whoever may read the lock file may take a read lock that stalls the
/// writers: ours is for us, or for the group that may write the folder.
void Restrict(int file, const struct stat& folder) {
  mode_t mode = 0600;
  if ((folder.st_mode & S_IWGRP) && fchown(file, static_cast<uid_t>(-1), folder.st_gid) == 0) mode = 0660;
  fchmod(file, mode);
}

/// A lock file found at the name is used as it is, never changed, and only
/// where nobody but those who may replace the program could have made it
/// or can open it: one file (not a hard link, which may be anyone's file,
/// that a stamp would overwrite) of the runner's, the folder's owner's or
/// the program's owner's (so, in a sticky folder, never of a user who could
/// not replace the program), open to the folder's group at most.
bool Trusted(const struct stat& file, const struct stat& folder, int folderFd, const std::string& program) {
  if (!S_ISREG(file.st_mode) || file.st_nlink != 1) return false;
  const bool groupWrites = (folder.st_mode & S_IWGRP) && file.st_gid == folder.st_gid;
  if ((file.st_mode & (S_IROTH | S_IWOTH)) || (!groupWrites && (file.st_mode & (S_IRGRP | S_IWGRP)))) return false;
  if (file.st_uid == geteuid() || file.st_uid == folder.st_uid) return true;
  struct stat installed;
  return fstatat(folderFd, program.c_str(), &installed, AT_SYMLINK_NOFOLLOW) == 0 && file.st_uid == installed.st_uid;
}

/// The held lock: removing its file first, then closing it, lets the next
/// run go; a run that opened the old file finds it no longer named.
class PosixLock final : public HeldLock {
public:
  PosixLock(Target place, std::string name, Fd file)
      : place_(std::move(place)), name_(std::move(name)), file_(std::move(file)) {}
  ~PosixLock() override {
    if (StillNamed(place_.folder.get(), name_, file_.get())) unlinkat(place_.folder.get(), name_.c_str(), 0);
  }

  std::optional<FileStamp> Stamp(const std::string& text) noexcept override {
    const int fd = file_.get();
    struct stat st;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        fstat(fd, &st) != 0)
      return std::nullopt;
    return StampOf(st.st_ctim);
  }

private:
  Target place_;
  std::string name_;
  Fd file_;
};

}  // namespace

std::unique_ptr<HeldLock> LockBeside(const Target& place, const std::string& name) {
  const int folder = place.folder.get();
  struct stat holder;
  if (fstat(folder, &holder) != 0) return nullptr;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    // Never through a link, never blocking on a pipe planted there.
    Fd file(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const bool created = file.get() >= 0;
    if (created) {
      Restrict(file.get(), holder);
    } else {
      // A folder we may not write, a read-only one: the copy will say so.
      if (errno != EEXIST) return nullptr;
      file.reset(openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (file.get() < 0 && errno == ENOENT) continue;  // its holder just removed it
      struct stat found;
      if (file.get() < 0 || fstat(file.get(), &found) != 0 || !Trusted(found, holder, folder, place.name))
        return nullptr;
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(file.get(), F_OFD_SETLK, &whole) != 0) {
      const int error = errno;
      if (error == EAGAIN || error == EACCES) Throw<BusyError>(error);
      // A file system that keeps no locks: nobody can lock what we made.
      if (created && StillNamed(folder, name, file.get())) unlinkat(folder, name.c_str(), 0);
      return nullptr;
    }
    // The holder before us may have removed it as we opened it.
    if (StillNamed(folder, name, file.get())) return std::make_unique<PosixLock>(Duplicate(place), name, std::move(file));
  }
  Throw<BusyError>(EAGAIN);
}

}  // namespace quennel
