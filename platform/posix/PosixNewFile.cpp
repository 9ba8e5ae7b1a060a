#include "platform/posix/PosixNewFile.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/posix/Identity.h"
#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"
#include "update/Texts.h"

namespace quennel {
namespace {

/// copy_file_range's refusals that mean "not between these two files".
bool CannotCopy(int error) { return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL; }

/// Sets the disk writing the `size` bytes just put at `offset`, without
/// waiting: the flush at the end then has little left to do. A hint only;
/// the flush reports what fails.
void StartWriting(int file, std::uint64_t offset, std::uint64_t size) {
  sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

}  // namespace

PosixNewFile::PosixNewFile(Target place, std::string name, Fd file)
    : place_(std::move(place)), name_(std::move(name)), file_(std::move(file)) {
  if (fstat(file_.get(), &created_) != 0) {
    const int error = errno;
    Discard();
    Throw(error);
  }
}

void PosixNewFile::Write(const unsigned char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(file_.get(), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Throw(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
    appended_ += static_cast<std::uint64_t>(n);
  }
}

std::optional<std::uint64_t> PosixNewFile::CopyFrom(Source& source, std::uint64_t size) {
  const auto* from = dynamic_cast<const PosixSource*>(&source);
  if (!from) return std::nullopt;  // no descriptor to hand the system
  const int in = from->Descriptor(), out = file_.get();
  if (appended_ == 0 && lseek(in, 0, SEEK_CUR) == 0 && ioctl(out, FICLONE, in) == 0) {
    // A reflink shares the blocks, all at once. It moves neither file's
    // position: both go to its end, where a next call carries on.
    struct stat cloned;
    if (fstat(out, &cloned) != 0) Throw(errno);
    if (lseek(in, cloned.st_size, SEEK_SET) < 0 || lseek(out, cloned.st_size, SEEK_SET) < 0) Throw(errno);
    appended_ = static_cast<std::uint64_t>(cloned.st_size);
    return appended_;
  }
  const std::size_t most = static_cast<std::size_t>(std::min<std::uint64_t>(size, SSIZE_MAX));
  while (true) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, most, 0);
    if (n >= 0) {
      StartWriting(out, appended_, static_cast<std::uint64_t>(n));
      appended_ += static_cast<std::uint64_t>(n);
      return static_cast<std::uint64_t>(n);
    }
    if (errno == EINTR) continue;
    if (appended_ == 0 && CannotCopy(errno)) return std::nullopt;
    Throw(errno);
  }
}

std::size_t PosixNewFile::ReadAt(std::uint64_t offset, unsigned char* bytes, std::size_t size) {
  while (true) {
    const ssize_t n = pread(Open(), bytes, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) Throw(errno);
  }
}

FileStatus PosixNewFile::Status() {
  struct stat st;
  if (fstat(Open(), &st) != 0) Throw(errno);
  return StatusOf(st);
}

void PosixNewFile::TakeProgramIdentity(const FileStatus& source) {
  if (const int error = TakeIdentity(file_.get(), place_.folder.get(), place_.name.c_str(),
                                     static_cast<mode_t>(source.permissions)))
    Throw(error);
}

void PosixNewFile::TakeCompanionIdentity() {
  if (const int error = quennel::TakeCompanionIdentity(file_.get(), place_.folder.get(), place_.name.c_str()))
    Throw(error);
}

FileStamp PosixNewFile::SetTime(FileStamp time) {
  const TimesToSet set(time);
  struct stat st;
  if (futimens(Open(), set.times) != 0 || fstat(Open(), &st) != 0) Throw(errno);
  return StampOf(st.st_mtim);
}

void PosixNewFile::Flush() {
  if (fsync(Open()) != 0) Throw(errno);
}

void PosixNewFile::CloseForWriting() {
  if (file_.get() < 0) return;
  // Found again by name: if the name no longer leads to our file, someone
  // took it. Never blocking on a pipe put there.
  const int folder = place_.folder.get();
  Fd kept(openat(folder, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  // A program its owner may run but not read (mode 0711) is still
  // recognised through a path descriptor.
  if (kept.get() < 0 && errno == EACCES) kept.reset(openat(folder, name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat reopened;
  if (kept.get() < 0 && errno != ENOENT && errno != ELOOP && errno != ENXIO) Throw(errno);
  if (kept.get() < 0 || fstat(kept.get(), &reopened) != 0 || !SameFile(created_, reopened))
    throw PlatformError(texts::kStagingReplaced);
  kept_ = std::move(kept);
  // A network file system may say only now that the bytes did not make it.
  if (close(file_.release()) != 0 && errno != EINTR) Throw(errno);
}

void PosixNewFile::MoveTo(const std::string& name, bool replace) {
  // The rename moves whatever the name holds: if anything took it from our
  // file (another file, a link), that must not become the program.
  if (!StillNamed()) throw PlatformError(texts::kStagingReplaced);
  const int folder = place_.folder.get();
  const int renamed = replace ? renameat(folder, name_.c_str(), folder, name.c_str())
                              : renameat2(folder, name_.c_str(), folder, name.c_str(), RENAME_NOREPLACE);
  if (renamed != 0 && errno == EEXIST && !replace) Throw<ExistsError>(errno);
  if (renamed != 0) Throw(errno);
  moved_ = true;
  // Makes the rename survive a power cut. It is done and cannot be undone,
  // so a folder that refuses the flush (or that we may not read, hence not
  // flush) changes nothing.
  if (place_.readable) fsync(folder);
}

void PosixNewFile::Discard() noexcept {
  if (!moved_) unlinkat(place_.folder.get(), name_.c_str(), 0);
}

bool PosixNewFile::StillNamed() const {
  struct stat mine, named;
  return fstat(Open(), &mine) == 0 &&
         fstatat(place_.folder.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(mine, named);
}

}  // namespace quennel
