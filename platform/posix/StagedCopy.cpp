/// Replacing the installed program on POSIX: under its lock file, the new
/// version is copied into a staging file beside it, checked,
/// flushed, closed, and renamed over it. Every step works relative to the
/// folder's descriptor, so a path near PATH_MAX works and a folder renamed
/// meanwhile cannot redirect a step.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/posix/Fd.h"
#include "platform/posix/Identity.h"
#include "platform/posix/LockFile.h"
#include "platform/posix/OwnFiles.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/Target.h"
#include "update/OwnNames.h"
#include "update/StoredTime.h"
#include "update/Texts.h"

namespace quennel {
namespace {

/// Bytes copied between two progress calls (and so two event pumps).
constexpr size_t kChunk = 8u << 20;

std::string RandomSuffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kStaging.random];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet (early boot): O_EXCL still keeps two runs apart.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^ (getpid() * 2654435761ull);
    for (size_t k = 0; k < sizeof bytes; ++k) bytes[k] = static_cast<unsigned char>(seed >> (8 * k));
  }
  std::string suffix;
  for (const unsigned char byte : bytes) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
}

/// Hands `check` the `size` bytes that the system itself put into `out`
/// at offset `from`, read back through our own descriptor. Returns 0 or an
/// errno value.
int ReadBack(int out, std::uint64_t from, std::uint64_t size, std::vector<char>& buffer, ContentCheck& check) {
  if (buffer.empty()) buffer.resize(1u << 20);
  for (std::uint64_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), size - done));
    const ssize_t n = pread(out, buffer.data(), want, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    check.Add(reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<size_t>(n));
    done += static_cast<std::uint64_t>(n);
  }
  return 0;
}

/// Copies all of `in` to `out`, the kernel's offload first, telling
/// `progress` between chunks, and `check` every byte the staging file got.
/// Returns 0 or an errno value.
int CopyContents(int in, int out, std::uint64_t total, const CopyProgress& progress, ContentCheck* check) {
  if (ioctl(out, FICLONE, in) == 0) {  // a reflink: no data moves, unless it is to be checked
    struct stat cloned;
    if (check && fstat(out, &cloned) != 0) return errno;
    const std::uint64_t size = check ? static_cast<std::uint64_t>(cloned.st_size) : 0;
    std::vector<char> buffer;
    for (std::uint64_t at = 0; at < size;) {
      const std::uint64_t piece = std::min<std::uint64_t>(kChunk, size - at);
      if (const int error = ReadBack(out, at, piece, buffer, *check)) return error;
      at += piece;
      progress(at, total);
    }
    return 0;
  }
  bool offload = true;
  std::vector<char> buffer;
  std::uint64_t copied = 0;
  while (true) {
    ssize_t n;
    if (offload) {
      n = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
        offload = false;
        continue;
      }
      if (n > 0 && check) {
        if (const int error = ReadBack(out, copied, static_cast<std::uint64_t>(n), buffer, *check)) return error;
      }
    } else {
      if (buffer.empty()) buffer.resize(1u << 20);
      n = read(in, buffer.data(), buffer.size());
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) return errno;
        if (w > 0) done += w;
      }
      if (n > 0 && check) check->Add(reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<size_t>(n));
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    copied += static_cast<std::uint64_t>(n);
    progress(copied, total);
  }
}

/// Gives the open file `fd` the modification time `wanted`, kept at least
/// that new; its access time becomes now. Returns 0 or an errno value.
int StoreTime(int fd, const timespec& wanted) {
  // Every store names the access time too: some FUSE drivers (exFAT) drop
  // a change made with UTIME_OMIT.
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  int error = 0;
  KeepTimeAtLeast(StampOf(wanted), [&](FileStamp time) -> std::optional<FileStamp> {
    const timespec times[2] = {now, {static_cast<time_t>(time.seconds), time.nanoseconds}};
    struct stat st;
    if (futimens(fd, times) == 0 && fstat(fd, &st) == 0) return StampOf(st.st_mtim);
    error = errno;
    return std::nullopt;
  });
  return error;
}

/// The change time too: a rewrite in place that puts the old modification
/// time back still moves it, and nobody can set it.
bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/// A staging file closed for writing, with a read-only descriptor kept to
/// recognise it: nothing can be started from a file open for writing.
class PosixStagedCopy : public StagedCopy {
public:
  PosixStagedCopy(Target target, std::string name, Fd file)
      : target_(std::move(target)), name_(std::move(name)), file_(std::move(file)) {}

  ~PosixStagedCopy() override {
    if (!committed_) unlinkat(target_.folder.get(), name_.c_str(), 0);
  }

  /// A rename replaces a running program here: nothing to set aside.
  void Commit(RunningProgram) override {
    // The rename moves whatever the name holds: if anything took the name
    // from our copy (a file, a link), it must not become the program.
    if (!IsStillOurs()) throw PlatformError(texts::kStagingReplaced);
    if (renameat(target_.folder.get(), name_.c_str(), target_.folder.get(), target_.name.c_str()) != 0)
      ThrowSystemError(errno);
    committed_ = true;
    // Makes the rename survive a power cut. It is already done and cannot
    // be undone, so a folder that refuses the flush (or that we may not
    // read, hence not flush) changes nothing.
    if (target_.readable) fsync(target_.folder.get());
  }

private:
  bool IsStillOurs() const {
    struct stat mine, listed;
    return fstat(file_.get(), &mine) == 0 &&
           fstatat(target_.folder.get(), name_.c_str(), &listed, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(mine, listed);
  }

  Target target_;
  std::string name_;
  Fd file_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<DestinationLock> PosixPlatform::LockDestination(const std::string& destination) {
  Target target;
  try {
    target = OpenTarget(destination);
  } catch (const PlatformError&) {
    return nullptr;  // the copy will meet the same problem and report it
  }
  return TakeLock(std::move(target));
}

std::unique_ptr<StagedCopy> PosixPlatform::StageCopy(const std::string& source, const std::string& destination,
                                                     const CopyProgress& progress, ContentCheck* check) {
  // Non-blocking, so that a pipe under the source's name cannot hang us.
  Fd in(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) ThrowSystemError(errno);
  struct stat before;
  if (fstat(in.get(), &before) != 0) ThrowSystemError(errno);
  if (S_ISDIR(before.st_mode)) ThrowSystemError(EISDIR);
  if (!S_ISREG(before.st_mode)) ThrowSystemError(EINVAL);

  Target target = OpenTarget(destination);
  const int folder = target.folder.get();
  // Said before copying anything, rather than after a whole copy, at every start.
  if (CapabilityBeyondReach(folder, target.name.c_str())) throw PlatformError(texts::kCapabilityNotSettable);
  std::string name;
  Fd out;
  // Created exclusively and never through a link: a name already taken, by
  // anything, is left alone and another is tried.
  for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
    name = OwnFileName(target.name, kStaging, RandomSuffix(), NameUnits::Bytes);
    out.reset(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0 && errno != EEXIST) ThrowSystemError(errno);
  }
  if (out.get() < 0) ThrowSystemError(EEXIST);

  // The staging name is ours: whatever holds it on a failure goes (a link
  // goes itself, never its target).
  const auto discard = [&] { unlinkat(folder, name.c_str(), 0); };
  struct stat created;
  if (fstat(out.get(), &created) != 0) {
    discard();
    ThrowSystemError(errno);
  }

  int error = CopyContents(in.get(), out.get(), static_cast<std::uint64_t>(before.st_size), progress, check);
  struct stat copied, during, after;
  if (error == 0 && (fstat(out.get(), &copied) != 0 || fstat(in.get(), &during) != 0)) error = errno;
  bool changed = false;
  if (error == 0) {
    // A publisher rewriting or removing the file mid-copy must not give a
    // mixed or truncated install.
    changed = copied.st_size != before.st_size || !SameVersion(before, during) ||
              stat(source.c_str(), &after) != 0 || !SameVersion(before, after);
  }
  if (error == 0 && !changed && check) {
    // The bytes must be the signed ones before the file becomes anything more.
    try {
      check->Finish();
    } catch (const PlatformError&) {
      discard();
      throw;
    }
  }
  if (error == 0 && !changed) {
    error = TakeIdentity(out.get(), folder, target.name.c_str(), before);
    if (error == 0) error = StoreTime(out.get(), before.st_mtim);
    if (error == 0 && fsync(out.get()) != 0) error = errno;
  }
  if (error != 0 || changed) {
    discard();
    if (changed) throw PlatformError(texts::kSourceChanged);
    ThrowSystemError(error);
  }
  // The descriptor kept is read-only, found again by name: if the name no
  // longer leads to our copy, someone took it.
  Fd kept(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat reopened;
  if (kept.get() < 0 || fstat(kept.get(), &reopened) != 0 || !SameFile(created, reopened)) {
    discard();
    throw PlatformError(texts::kStagingReplaced);
  }
  if (close(out.release()) != 0) {
    discard();
    ThrowSystemError(errno);
  }
  return std::make_unique<PosixStagedCopy>(std::move(target), std::move(name), std::move(kept));
}

}  // namespace quennel
