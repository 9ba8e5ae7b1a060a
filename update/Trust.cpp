#include "update/Trust.h"

#include <algorithm>

#include "update/Texts.h"

namespace quennel {
namespace {

constexpr std::string_view kKeyFileEnding = ".pub";

/// `path` without its last element and the separator before it.
std::string FolderOf(const std::string& path, const NameRules& rules) {
  const std::size_t cut = path.find_last_of(rules.separators);
  if (cut == std::string::npos) return ".";
  return path.substr(0, cut == 0 ? 1 : cut);
}

/// Whether `folder` is `path` or holds it, at any depth.
bool Holds(const std::string& folder, const std::string& path, const NameRules& rules) {
  if (!path.starts_with(folder)) return false;
  return path.size() == folder.size() || rules.separators.find(folder.back()) != std::string_view::npos ||
         rules.separators.find(path[folder.size()]) != std::string_view::npos;
}

UntrustedVersion Unreadable(const char* what, const std::string& path, const PlatformError& error) {
  return UntrustedVersion(what + path + " (" + error.what() + ")");
}

}  // namespace

std::vector<std::string> FolderChain(const std::string& path, const NameRules& rules) {
  const auto separator = [&](std::size_t at) {
    return at < path.size() && rules.separators.find(path[at]) != std::string_view::npos;
  };
  // The root: "/", "C:\", "\\server\share\", "\\?\C:\" or "\\?\UNC\server\share\".
  std::size_t root = 0;
  if (rules.windowsStyle && path.starts_with("\\\\")) {
    const bool unc = !path.starts_with("\\\\?\\") || path.starts_with("\\\\?\\UNC\\");
    std::size_t parts = unc ? 2 : 1;
    root = path.starts_with("\\\\?\\UNC\\") ? 8 : path.starts_with("\\\\?\\") ? 4 : 2;
    while (parts > 0 && root < path.size()) {
      while (root < path.size() && !separator(root)) ++root;
      ++root;
      --parts;
    }
  } else if (rules.windowsStyle && path.size() >= 2 && path[1] == ':') {
    root = separator(2) ? 3 : 2;
  } else if (separator(0)) {
    root = 1;
  }
  std::vector<std::string> chain;
  if (root > 0) chain.push_back(path.substr(0, std::min(root, path.size())));
  for (std::size_t at = root; at < path.size();) {
    std::size_t end = at;
    while (end < path.size() && !separator(end)) ++end;
    if (end > at) chain.push_back(path.substr(0, end));
    at = end + 1;
  }
  return chain;
}

std::optional<TrustList> ReadTrustList(Platform platform) {
  Files& files = platform.files;
  const NameRules& rules = files.Names();
  const TrustPaths places = files.TrustPlaces();

  std::vector<std::pair<std::string, GuardedText>> lists;  // the list first, then each key file
  try {
    lists.emplace_back(places.list, files.ReadGuarded(places.list, kTrustFileMaxBytes));
  } catch (const MissingError&) {
  } catch (const PlatformError& error) {
    throw Unreadable(texts::kTrustUnreadable, places.list, error);
  }
  bool keyFolder = false;
  try {
    std::vector<std::string> names = files.ListFiles(places.folder);
    keyFolder = true;
    std::sort(names.begin(), names.end());
    const std::string separator(1, rules.separators.front());
    for (const std::string& name : names) {
      if (!name.ends_with(kKeyFileEnding)) continue;
      const std::string path = places.folder + separator + name;
      try {
        lists.emplace_back(path, files.ReadGuarded(path, kTrustFileMaxBytes));
      } catch (const MissingError&) {
      } catch (const PlatformError& error) {
        throw Unreadable(texts::kTrustUnreadable, path, error);
      }
    }
  } catch (const MissingError&) {
  } catch (const PlatformError& error) {
    throw Unreadable(texts::kKeysFolderUnreadable, places.folder, error);
  }
  const bool on = !lists.empty();

  // Every folder from the root down: whoever may rename one may put
  // another list in its place, or take it away.
  const std::string listFolder = FolderOf(places.list, rules);
  std::vector<std::string> folders = FolderChain(listFolder, rules);
  if (keyFolder) folders.push_back(places.folder);
  std::vector<std::optional<Guard>> guards;
  for (const std::string& folder : folders) {
    try {
      guards.push_back(files.Examine(folder));
    } catch (const PlatformError& error) {
      throw Unreadable(texts::kTrustUnreadable, folder, error);
    }
  }
  const std::string exe = platform.process.ExecutablePath();
  const std::string binaryFolder = FolderOf(exe, rules);
  bool nextSafe = true;  // below the last folder: its files, each checked on its own
  for (std::size_t k = folders.size(); k-- > 0;) {
    if (!guards[k]) continue;  // not there: nothing to rename
    const bool safe = *guards[k] == Guard::Safe || (*guards[k] == Guard::SafeIfNextIs && nextSafe);
    nextSafe = safe;
    if (safe || (!on && !exe.empty() && Holds(folders[k], binaryFolder, rules))) continue;
    throw UntrustedVersion((folders[k] == listFolder ? texts::kTrustFolderUnsafe : texts::kTrustAncestorUnsafe) +
                           folders[k]);
  }
  if (!on) return std::nullopt;

  TrustList trust{{}, places.list};
  for (const auto& [path, list] : lists) {
    if (list.guard != Guard::Safe) throw UntrustedVersion(texts::kTrustUnsafe + path);
    for (const TrustedKey& key : ParseTrustedKeys(list.text, path, false)) trust.keys.push_back(key);
  }
  if (trust.keys.empty()) throw UntrustedVersion(texts::kTrustEmpty + places.list);
  return trust;
}

}  // namespace quennel
