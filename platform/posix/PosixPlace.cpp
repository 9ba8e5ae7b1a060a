#include "platform/posix/PosixPlace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/Identity.h"
#include "platform/posix/PosixLock.h"
#include "platform/posix/PosixNewFile.h"
#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"
#include "update/Texts.h"

namespace quennel {

std::string PosixPlace::FolderOwner() {
  struct stat st;
  if (fstat(Folder(), &st) != 0) Throw(errno);
  return OwnerOf(st.st_uid);
}

std::optional<FileStatus> PosixPlace::Look(const std::string& name) {
  struct stat st;
  if (fstatat(Folder(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return StatusOf(st, true);
  if (errno == ENOENT) return std::nullopt;
  Throw(errno);
}

std::vector<FoundFile> PosixPlace::List(const std::string& prefix) {
  // A descriptor of its own, with its own position; none in a folder we
  // may search but not read.
  Fd listed(openat(Folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = listed.get() < 0 ? nullptr : fdopendir(listed.get());
  if (!dir) return {};
  listed.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closing(dir, closedir);
  std::vector<FoundFile> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st;
    if (name.starts_with(prefix) && name != "." && name != ".." &&
        fstatat(Folder(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      found.push_back({name, StatusOf(st, true)});
  }
  return found;
}

std::unique_ptr<NewFile> PosixPlace::Create(const std::string& name) {
  Target place = Duplicate(target_);
  Fd file(openat(Folder(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0 && errno == EEXIST) Throw<ExistsError>(errno);
  if (file.get() < 0) Throw(errno);
  return std::make_unique<PosixNewFile>(std::move(place), name, std::move(file));
}

std::unique_ptr<Source> PosixPlace::Open(const std::string& name) {
  struct stat st;
  return std::make_unique<PosixSource>(OpenRegular(Folder(), name, O_RDONLY | O_NOFOLLOW, st));
}

FileStamp PosixPlace::SetTime(const std::string& name, FileStamp time) {
  const TimesToSet set(time);
  struct stat st;
  if (utimensat(Folder(), name.c_str(), set.times, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstatat(Folder(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    Throw(errno);
  return StampOf(st.st_mtim);
}

void PosixPlace::Remove(const FoundFile& found) noexcept {
  // A file number is used again as soon as it is free: a file made since
  // under that name may have it, never the old change time.
  struct stat st;
  if (fstatat(Folder(), found.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(st) == found.status.id &&
      StampOf(st.st_ctim) == found.status.changed)
    unlinkat(Folder(), found.name.c_str(), 0);
}

std::unique_ptr<HeldLock> PosixPlace::Lock(const std::string& name) { return LockBeside(target_, name); }

std::unique_ptr<AsideFile> PosixPlace::SetAside(const std::string&) { Throw(ENOTSUP); }

bool PosixPlace::PutBack(const std::string&) noexcept { return false; }

void PosixPlace::CheckIdentityCanBeGiven() {
  if (CapabilityBeyondReach(Folder(), Name().c_str())) throw PlatformError(texts::kCapabilityNotSettable);
}

}  // namespace quennel
