/// Replacing the installed program on POSIX: the new version is copied into
/// a locked staging file beside it, checked, flushed, and renamed over it.

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/Identity.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/StoredTime.h"

namespace quennel {
namespace {

/// Bytes copied between two event pumps.
constexpr size_t kChunk = 8u << 20;
constexpr const char* kSourceChanged = "Le fichier source a changé pendant la copie.";
constexpr const char* kStagingReplaced = "La copie temporaire a été remplacée par un autre fichier.";

struct Split {
  std::string folder;  // with its trailing slash, or empty for the current folder
  std::string name;
};

Split SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

/// Staging files of `name` are `.NAME.quennel~XXXXXX`. Where that would
/// pass the longest name a folder entry may have, NAME is cut (never inside
/// a UTF-8 character) and tagged with a hash of the whole name,
/// `.NA~1a2b3c4d.quennel~XXXXXX`, so that it fits and stays the name's own.
std::string StagingPrefix(const std::string& name) {
  constexpr size_t kAdded = 16;  // ".", ".quennel~" and the six random letters
  if (name.size() + kAdded <= NAME_MAX) return "." + name + ".quennel~";
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char tag[16];
  std::snprintf(tag, sizeof tag, "~%08x", static_cast<unsigned>(hash));
  size_t keep = NAME_MAX - kAdded - std::strlen(tag);
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  std::string prefix = ".";
  return prefix.append(name, 0, keep).append(tag).append(".quennel~");
}

class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

/// Removes staging files that a killed run left. A live run holds a lock
/// on its own, so it is never taken away from under it.
void RemoveStaleStaging(const Split& dest) {
  const std::string prefix = StagingPrefix(dest.name);
  const std::string folder = dest.folder.empty() ? "." : dest.folder;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = dest.folder + name;
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) unlink(path.c_str());
  }
  closedir(dir);
}

/// Copies all of `in` to `out`, the kernel's offload first, pumping events
/// between chunks. Returns 0 or an errno value.
int CopyContents(int in, int out, Platform& platform) {
  if (ioctl(out, FICLONE, in) == 0) return 0;  // a reflink: no data moves
  bool offload = true;
  std::vector<char> buffer;
  while (true) {
    ssize_t n;
    if (offload) {
      n = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
        offload = false;
        continue;
      }
    } else {
      if (buffer.empty()) buffer.resize(1u << 20);
      n = read(in, buffer.data(), buffer.size());
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) return errno;
        if (w > 0) done += w;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    platform.PumpEvents();
  }
}

/// The change time too: a rewrite in place that puts the old modification
/// time back still moves it, and nobody can set it.
bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

std::string PosixPlatform::StageCopy(const std::string& source, const std::string& destination) {
  // Non-blocking, so that a pipe under the source's name cannot hang us.
  Fd in(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) ThrowSystemError(errno);
  struct stat before;
  if (fstat(in.get(), &before) != 0) ThrowSystemError(errno);
  if (S_ISDIR(before.st_mode)) ThrowSystemError(EISDIR);
  if (!S_ISREG(before.st_mode)) ThrowSystemError(EINVAL);

  const Split dest = SplitPath(destination);
  RemoveStaleStaging(dest);
  std::string staged = dest.folder + StagingPrefix(dest.name) + "XXXXXX";
  // mkostemp creates exclusively: a file or link already under the name is
  // never opened, another name is tried.
  Fd out(mkostemp(staged.data(), O_CLOEXEC));
  if (out.get() < 0) ThrowSystemError(errno);

  int error = flock(out.get(), LOCK_EX) == 0 ? 0 : errno;
  struct stat mine, listed;
  // Another run's clean-up may have removed the name before we locked it.
  if (error == 0 && (fstat(out.get(), &mine) != 0 || stat(staged.c_str(), &listed) != 0 ||
                     mine.st_ino != listed.st_ino))
    error = ENOENT;
  if (error == 0) error = CopyContents(in.get(), out.get(), *this);
  struct stat copied, during, after;
  if (error == 0 && (fstat(out.get(), &copied) != 0 || fstat(in.get(), &during) != 0)) error = errno;
  bool changed = false;
  if (error == 0) {
    // A publisher rewriting or removing the file mid-copy must not give a
    // mixed or truncated install.
    changed = copied.st_size != before.st_size || !SameVersion(before, during) ||
              stat(source.c_str(), &after) != 0 || !SameVersion(before, after);
  }
  if (error == 0 && !changed) {
    error = TakeIdentity(out.get(), AT_FDCWD, destination.c_str(), before);
    if (error == 0) error = StoreTime(out.get(), before.st_mtim);
    if (error == 0 && fsync(out.get()) != 0) error = errno;
  }
  if (error != 0 || changed) {
    unlink(staged.c_str());
    if (changed) throw PlatformError(kSourceChanged);
    ThrowSystemError(error);
  }
  staged_[staged] = out.release();
  return staged;
}

void PosixPlatform::CommitStaged(const std::string& staged, const std::string& destination) {
  auto it = staged_.find(staged);
  // The rename moves whatever the name holds: if anything took the name
  // from our locked copy (a file, a link), it must not become the program.
  if (it != staged_.end()) {
    struct stat mine, listed;
    if (fstat(it->second, &mine) != 0 || lstat(staged.c_str(), &listed) != 0) ThrowSystemError(errno);
    if (mine.st_dev != listed.st_dev || mine.st_ino != listed.st_ino)
      throw PlatformError(kStagingReplaced);
  }
  if (rename(staged.c_str(), destination.c_str()) != 0) ThrowSystemError(errno);
  if (it != staged_.end()) {
    close(it->second);
    staged_.erase(it);
  }
  // Make the rename itself survive a power cut.
  const Split dest = SplitPath(destination);
  Fd dir(open(dest.folder.empty() ? "." : dest.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
}

void PosixPlatform::DiscardStaged(const std::string& staged) noexcept {
  unlink(staged.c_str());
  auto it = staged_.find(staged);
  if (it != staged_.end()) {
    close(it->second);
    staged_.erase(it);
  }
}

}  // namespace quennel
