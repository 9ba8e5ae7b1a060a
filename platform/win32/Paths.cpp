#include "platform/win32/Paths.h"

#include <algorithm>

#include "platform/win32/SystemError.h"

namespace quennel::win32 {
namespace {

/// The path GetFinalPathNameByHandleW gives, extended; empty where it gives none.
std::wstring FinalPath(HANDLE file) {
  std::wstring final(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return L"";
    if (length < final.size()) {
      final.resize(length);
      return Extended(final);
    }
    final.resize(length + 1);
  }
}

/// How much of the extended path `path` its volume's root takes:
/// "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{…}\".
std::size_t RootLength(const std::wstring& path) {
  std::size_t at = 4;
  int parts = 1;
  if (path.starts_with(LR"(\\?\UNC\)")) {
    at = 8;
    parts = 2;
  }
  for (; parts > 0; --parts) {
    at = path.find(L'\\', at);
    if (at == std::wstring::npos) return path.size();
    ++at;
  }
  return at;
}

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (path.ends_with(L'\\')) path.pop_back();
  return path;
}

}  // namespace

std::wstring Extended(const std::wstring& path) {
  if (path.starts_with(LR"(\\?\)")) return path;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) ThrowLastError();
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length + 1);
  }
  if (full.starts_with(LR"(\\.\)")) return full;  // a device keeps its own form
  if (full.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + full.substr(2);
  return LR"(\\?\)" + full;
}

Split SplitPath(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return {L"", path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

std::wstring RealPath(HANDLE file, const std::wstring& path) {
  std::wstring real = FinalPath(file);
  if (!real.empty()) return real;
  real.resize(path.size() + 1);
  const DWORD length = GetLongPathNameW(path.c_str(), real.data(), static_cast<DWORD>(real.size()));
  if (length == 0 || length >= real.size()) return path;
  real.resize(length);
  return real;
}

DWORD ForEachFound(const std::wstring& pattern, const std::function<bool(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError();
  while (visit(found) && FindNextFileW(search, &found)) {
  }
  FindClose(search);
  return 0;
}

std::optional<std::wstring> ParentFolder(const std::wstring& path) {
  const std::wstring trimmed = WithoutTrailingBackslashes(path);
  if (trimmed.size() <= RootLength(path)) return std::nullopt;
  return trimmed.substr(0, trimmed.rfind(L'\\') + 1);
}

std::vector<std::wstring> FolderLevels(const std::wstring& folder) {
  const std::wstring trimmed = WithoutTrailingBackslashes(folder);
  const std::size_t root = RootLength(trimmed + L'\\');
  std::vector<std::wstring> levels{(trimmed + L'\\').substr(0, root)};
  for (std::size_t at = root; at < trimmed.size(); ++at) {
    at = std::min(trimmed.find(L'\\', at), trimmed.size());
    levels.push_back(trimmed.substr(0, at));
  }
  return levels;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) ThrowLastError();
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

}  // namespace quennel::win32
