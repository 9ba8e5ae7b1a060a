#include "platform/posix/Status.h"

#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <ctime>

namespace quennel {
namespace {

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Folder;
  if (S_ISLNK(mode)) return FileKind::Link;
  return FileKind::Other;
}

FileStamp StampOf(const statx_timestamp& time) { return {time.tv_sec, static_cast<std::int32_t>(time.tv_nsec)}; }

/// What statfs calls FAT (MSDOS_SUPER_MAGIC) and exFAT.
bool NoChangeTime(const struct statfs& fs) { return fs.f_type == 0x4d44 || fs.f_type == 0x2011BAB0; }

}  // namespace

bool KeepsNoChangeTime(int fd) {
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && NoChangeTime(fs);
}

bool KeepsNoChangeTime(const char* path) {
  struct statfs fs;
  return statfs(path, &fs) == 0 && NoChangeTime(fs);
}

FileStatus WithoutFakeChangeTime(FileStatus status, bool keepsNone) {
  if (keepsNone) status.changed = {};
  return status;
}

FileStamp StampOf(const timespec& time) {
  return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

TimesToSet::TimesToSet(const FileStamp& time) {
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[1] = {static_cast<time_t>(time.seconds), time.nanoseconds};
}

FileId IdOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool SameFile(const struct stat& a, const struct stat& b) { return IdOf(a) == IdOf(b); }

std::string OwnerOf(uid_t uid) { return std::to_string(uid); }

FileStatus StatusOf(const struct stat& st, bool withOwner) {
  FileStatus status;
  status.kind = KindOf(st.st_mode);
  status.modified = StampOf(st.st_mtim);
  status.changed = StampOf(st.st_ctim);
  status.size = static_cast<std::uint64_t>(st.st_size);
  status.id = IdOf(st);
  status.links = static_cast<std::uint32_t>(st.st_nlink);
  status.permissions = st.st_mode & 07777;
  if (withOwner) status.owner = OwnerOf(st.st_uid);
  return status;
}

FileStatus StatusOf(const struct statx& stx) {
  FileStatus status;
  status.kind = KindOf(stx.stx_mode);
  status.modified = StampOf(stx.stx_mtime);
  status.changed = StampOf(stx.stx_ctime);
  status.size = stx.stx_size;
  // st_dev is this very number: makedev of the two halves.
  status.id = {static_cast<std::uint64_t>(makedev(stx.stx_dev_major, stx.stx_dev_minor)), stx.stx_ino};
  status.links = stx.stx_nlink;
  status.permissions = stx.stx_mode & 07777;
  return status;
}

}  // namespace quennel
