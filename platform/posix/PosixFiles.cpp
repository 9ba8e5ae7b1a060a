#include "platform/posix/PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixPlace.h"
#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"
#include "platform/posix/Target.h"

namespace quennel {

FileStatus PosixFiles::Stat(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) ThrowLookupError(errno);
  return StatusOf(st);
}

FileStatus PosixFiles::StatFresh(const std::string& path) {
  struct statx stx;
  // The new version's looks, compared with each other: a volume without a
  // change time of its own says so, the same way every time.
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &stx) == 0)
    return WithoutFakeChangeTime(StatusOf(stx), KeepsNoChangeTime(path.c_str()));
  // A kernel, or a container's filter, without statx: the cached answer.
  if (errno == ENOSYS || errno == EPERM) return WithoutFakeChangeTime(Stat(path), KeepsNoChangeTime(path.c_str()));
  ThrowLookupError(errno);
}

std::unique_ptr<Source> PosixFiles::OpenSource(const std::string& path) {
  struct stat st;
  Fd file = OpenRegular(AT_FDCWD, path, O_RDONLY, st);
  return std::make_unique<PosixSource>(std::move(file));
}

std::string PosixFiles::ReadSmall(const std::string& path, std::size_t limit) {
  struct stat st;
  const Fd file = OpenRegular(AT_FDCWD, path, O_RDONLY, st);
  return ReadAll(file.get(), limit);
}

std::unique_ptr<Place> PosixFiles::Resolve(const std::string& destination, bool makeFolders) {
  return std::make_unique<PosixPlace>(OpenTarget(destination, makeFolders));
}

std::string PosixFiles::Runner() { return OwnerOf(geteuid()); }

bool PosixFiles::IsSystemAccount(const std::string& owner) { return owner == "0"; }

bool PosixFiles::RunnerIsAdministrator() { return geteuid() == 0; }

const NameRules& PosixFiles::Names() {
  static const NameRules rules{"/", false, NameUnits::Bytes, false};
  return rules;
}

}  // namespace quennel
