#pragma once
/// What an open file tells of itself, in the terms of FileStatus, and its
/// times both ways.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileStatus.h"

namespace quennel::win32 {

/// Every sharing: a look at a file never stands in anyone's way.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// A FILETIME (1601 epoch, 100 ns ticks) as seconds and nanoseconds since
/// 1970, and back (to the 100 ns below, within FILETIME's range).
FileStamp StampOf(const FILETIME& time);
FileStamp StampOf(const LARGE_INTEGER& ticks);
FILETIME FileTimeOf(const FileStamp& stamp);

/// Link for a reparse point, Folder for a folder, else Regular.
FileKind KindOf(DWORD attributes);

/// The status of the open file: volume serial and file index as its id,
/// size, last write, links, and the change time (zero where the volume
/// keeps none). Owner left empty. Throws PlatformError.
FileStatus StatusOf(HANDLE file);

/// Whether a file system by that name (GetVolumeInformation's) keeps a
/// change time: FAT and exFAT keep none.
bool KeepsChangeTime(std::wstring_view fileSystem);

/// StatusOf, with a zero change time where the file's volume keeps none.
FileStatus StatusKeptBy(HANDLE file);

/// The owner of the open file (opened with READ_CONTROL) as SID text
/// ("S-1-5-…"); empty where it cannot be read.
std::string OwnerOf(HANDLE file);

/// Sets the open file's last write time; returns the one it then holds.
/// Throws PlatformError.
FileStamp StoreTime(HANDLE file, const FileStamp& time);

}  // namespace quennel::win32
