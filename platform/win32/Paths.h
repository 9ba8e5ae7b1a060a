#pragma once
/// Paths inside the Windows backend: the extended (\\?\) form that has no
/// MAX_PATH limit, the real path of an open file, folder searches.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quennel::win32 {

/// The full path in the \\?\ (or \\?\UNC\) form, which every file call
/// takes at any length. Throws PlatformError when it cannot be made.
std::wstring Extended(const std::wstring& path);

struct Split {
  std::wstring folder;  // with its trailing backslash
  std::wstring name;
};
Split SplitPath(const std::wstring& path);

/// The path the system holds for the open file or folder `file` (opened as
/// `path`), extended: its long names, its case, its volume's own drive;
/// where the system cannot say (wine past MAX_PATH), `path`'s long form.
std::wstring RealPath(HANDLE file, const std::wstring& path);

/// Calls `visit` with each entry `pattern` (a folder and a wildcard name)
/// finds, until it returns false. The search's error, or 0.
DWORD ForEachFound(const std::wstring& pattern, const std::function<bool(const WIN32_FIND_DATAW&)>& visit);

/// The folder holding the extended path `path`, with its trailing
/// backslash; nothing for a volume's root.
std::optional<std::wstring> ParentFolder(const std::wstring& path);

/// The folders from the volume's root (with its trailing backslash) down to
/// the extended folder path `folder` (without).
std::vector<std::wstring> FolderLevels(const std::wstring& folder);

/// The full path of the running program's file.
std::wstring ModulePath();

}  // namespace quennel::win32
