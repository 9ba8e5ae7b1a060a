/// The walk to the installed program. realpath() would read the links
/// itself, out of reach of the kernel's fs.protected_symlinks, so a link
/// planted in /tmp could redirect root's update onto any program. Here the
/// kernel resolves the path too, and our own walk, one name at a time
/// from descriptors, checks each link's owner and says which folder and
/// name it reached. Nothing needs /proc.

#include "platform/posix/Target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string_view>

#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"
#include "update/Texts.h"

namespace quennel {
namespace {

/// Links followed on one path at most, as the kernel counts them.
constexpr int kMaxLinks = 40;

/// A name still to walk, and whether a link's target gave it: only the
/// path's own missing folders are made, never one a link points at.
struct Name {
  std::string text;
  bool fromLink = false;
};

/// The names of `path` in order, without empty ones and ".".
std::deque<Name> NamesOf(std::string_view path, bool fromLink) {
  std::deque<Name> names;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.push_back({std::string(name), fromLink});
    at = end + 1;
  }
  return names;
}

Fd OpenSearchable(int at, const char* name) {
  Fd folder(openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) Throw(errno);
  return folder;
}

bool OthersMayWrite(const struct stat& folder) { return (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

/// In a folder others may write, a link counts only if the runner or the
/// folder's owner made it: anyone else's may aim us at a file of theirs.
void CheckLinkOwner(int folder, const struct stat& link, const std::string& shown) {
  struct stat holder;
  if (fstat(folder, &holder) != 0) Throw(errno);
  if (OthersMayWrite(holder) && link.st_uid != geteuid() && link.st_uid != holder.st_uid)
    throw PlatformError(texts::kForeignLink + shown);
}

std::string ReadLink(int folder, const std::string& name) {
  std::string target(PATH_MAX, '\0');  // no link holds more
  const ssize_t length = readlinkat(folder, name.c_str(), target.data(), target.size());
  if (length < 0) Throw(errno);
  target.resize(static_cast<size_t>(length));
  return target;
}

/// The path walked so far, as the user would write it.
std::string Join(const std::string& shown, bool rooted, const std::string& name) {
  return shown.empty() && !rooted ? name : shown + "/" + name;
}

/// Where our walk ends: the folder (O_PATH), the last name, whether that
/// name exists, and whether it came from a link the path ended with.
struct WalkEnd {
  Fd folder;
  std::string name;
  bool exists = false;
  bool throughLastLink = false;
};

WalkEnd Walk(const std::string& destination, bool makeFolders) {
  std::deque<Name> names = NamesOf(destination, false);
  const bool absolute = destination.starts_with('/');
  WalkEnd end;
  end.folder = OpenSearchable(AT_FDCWD, absolute ? "/" : ".");
  bool rooted = absolute;
  std::string shown;
  for (int links = 0; !names.empty();) {
    std::string name = std::move(names.front().text);
    const bool fromLink = names.front().fromLink;
    names.pop_front();
    struct stat st;
    bool exists = fstatat(end.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno == ENOENT && makeFolders && !fromLink && !names.empty()) {
      // As `mkdir -p`, the umask applies. Whatever took the name meanwhile
      // (another run's folder, a link) is judged as any name on the way.
      if (mkdirat(end.folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST) Throw(errno);
      exists = fstatat(end.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (!exists && errno != ENOENT) Throw(errno);
    if (exists && S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) Throw(ELOOP);
      CheckLinkOwner(end.folder.get(), st, Join(shown, rooted, name));
      const std::string target = ReadLink(end.folder.get(), name);
      if (names.empty()) end.throughLastLink = true;
      std::deque<Name> more = NamesOf(target, true);
      names.insert(names.begin(), more.begin(), more.end());
      if (target.starts_with('/')) {
        end.folder = OpenSearchable(AT_FDCWD, "/");
        shown.clear();
        rooted = true;
      }
      continue;
    }
    if (names.empty()) {
      if (name == "..") Throw(EISDIR);
      end.name = std::move(name);
      end.exists = exists;
      return end;
    }
    end.folder = OpenSearchable(end.folder.get(), name.c_str());
    shown = Join(shown, rooted, name);
  }
  Throw(EISDIR);  // "/" itself
}

/// What the kernel finds at `destination`, or at its folder where nothing
/// is installed yet.
struct stat KernelView(const std::string& destination, bool installed) {
  std::string path = destination;
  int flags = O_PATH | O_CLOEXEC;
  if (!installed) {
    const size_t slash = path.rfind('/');
    path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    flags |= O_DIRECTORY;
  }
  const Fd found(open(path.c_str(), flags));
  struct stat st;
  if (found.get() < 0 || fstat(found.get(), &st) != 0) Throw(errno);
  return st;
}

}  // namespace

Target OpenTarget(const std::string& destination, bool makeFolders) {
  WalkEnd end = Walk(destination, makeFolders);
  if (!end.exists && end.throughLastLink) Throw(ENOENT);
  const struct stat kernel = KernelView(destination, end.exists);
  struct stat ours;
  const int found = end.exists ? fstatat(end.folder.get(), end.name.c_str(), &ours, AT_SYMLINK_NOFOLLOW)
                               : fstat(end.folder.get(), &ours);
  if (found != 0 || !SameFile(kernel, ours)) throw PlatformError(texts::kLinkChanged + destination);

  Target target{Fd(openat(end.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), std::move(end.name)};
  if (target.folder.get() < 0) {
    // A folder we may search and write but not read (mode 0300): names
    // still open, rename and go through the O_PATH descriptor.
    if (errno != EACCES) Throw(errno);
    target.folder = std::move(end.folder);
    target.readable = false;
  }
  return target;
}

Target Duplicate(const Target& place) {
  Target copy{Fd(fcntl(place.folder.get(), F_DUPFD_CLOEXEC, 0)), place.name, place.readable};
  if (copy.folder.get() < 0) Throw(errno);
  return copy;
}

}  // namespace quennel
