#pragma once
/// Where a program really lives: every spelling of it (an 8.3 alias,
/// another case, slashes, \\?\, a drive letter mapped to the same place)
/// comes to one folder and one name.

#include <string>

namespace quennel::win32 {

struct Location {
  std::wstring folder;  // extended, with its trailing backslash
  std::wstring name;
  bool operator==(const Location&) const = default;
};

/// Where `destination` really lives, under the one name the file system
/// holds for it: the file a link finally names, with its long name, its
/// case, its folder's own spelling and its volume. Where nothing is there
/// yet: the folder's real path, and the name the program had where a copy
/// of it set aside says so (matched without regard to case), else the name
/// as given. With `makeFolders`, the missing folders are made first, as the
/// runner, never through a link at a folder's name that is not the
/// system's (PlatformError; BusyError while a folder on the way is held). A
/// dangling link throws the system's "not found" error, so that nothing is
/// ever created where it points; so does a folder that cannot be opened.
Location Locate(const std::wstring& destination, bool makeFolders);

}  // namespace quennel::win32
