#pragma once
/// What stat(2) and statx(2) say, in the terms the driver compares.

#include <sys/stat.h>

#include <string>

#include "platform/FileStatus.h"

namespace quennel {

FileStamp StampOf(const timespec& time);
/// What futimens and utimensat take to set the modification time `time`:
/// the access time is named too (now), since some FUSE drivers (exFAT)
/// drop a change made with UTIME_OMIT.
struct TimesToSet {
  explicit TimesToSet(const FileStamp& time);
  timespec times[2];
};

/// The same for every way of asking, so statuses of one file compare equal.
FileId IdOf(const struct stat& st);
bool SameFile(const struct stat& a, const struct stat& b);

/// How FileStatus::owner names a user: the uid in decimal.
std::string OwnerOf(uid_t uid);

/// Whether the file system of `fd`, or of `path`, keeps no change time of
/// its own (FAT, exFAT): what it reports then moves back with the
/// modification time, and cannot tell a rewrite in place.
bool KeepsNoChangeTime(int fd);
bool KeepsNoChangeTime(const char* path);
/// `status` with no change time where its file system keeps none.
FileStatus WithoutFakeChangeTime(FileStatus status, bool keepsNone);

/// `st` as the driver sees it; the owner only when `withOwner`.
FileStatus StatusOf(const struct stat& st, bool withOwner = false);
FileStatus StatusOf(const struct statx& stx);

}  // namespace quennel
