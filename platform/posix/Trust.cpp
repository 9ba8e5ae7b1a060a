/// Signed versions on POSIX: where the administrator's trusted keys are for
/// this binary, and what guards them.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "platform/posix/PosixFiles.h"
#include "platform/posix/Self.h"
#include "platform/posix/SystemError.h"
#include "platform/posix/Trust.h"

namespace quennel {

std::string TrustFileFor(const std::string& binaryFolder) {
  std::string etc = QUENNEL_SYSCONFDIR;
  if (etc.empty() || etc.front() != '/') {
    // The prefix, reached from the binary's folder as the install placed it.
    std::string prefix = binaryFolder;
    for (std::string_view rest = QUENNEL_PREFIX_FROM_BINDIR; !rest.empty();) {
      const size_t slash = rest.find('/');
      const std::string_view part = rest.substr(0, slash);
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
      if (part == "..") {
        const size_t cut = prefix.rfind('/');
        prefix.resize(cut == std::string::npos ? 0 : cut);
      } else if (!part.empty() && part != ".") {
        prefix.append("/").append(part);
      }
    }
    // GNUInstallDirs' own rules: the system's prefixes keep their
    // configuration in /etc, a package under /opt in /etc/opt.
    if (prefix.empty() || prefix == "/usr")
      etc = "/etc";
    else if (prefix.starts_with("/opt/") && prefix.find('/', 5) == std::string::npos)
      etc = "/etc" + prefix;
    else
      etc = prefix + "/" + etc;
  }
  return etc + "/quennel/trusted-keys";
}

Guard GuardOf(const struct stat& st) {
  // As OpenSSH has it for its keys: owned by root or the runner, and
  // writable by nobody else (a POSIX ACL's grants show in the group bits;
  // a link's are all set).
  if (st.st_uid != 0 && st.st_uid != geteuid()) return Guard::Unsafe;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return Guard::Safe;
  // Others may add names to a sticky folder, never rename one of ours.
  return S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) ? Guard::SafeIfNextIs : Guard::Unsafe;
}

TrustPaths PosixFiles::TrustPlaces() {
  // Without our own place we cannot tell whether there is a list: refuse
  // rather than check nothing.
  const std::string exe = ExecutablePath();
  if (exe.empty()) Throw(ENOENT);
  const std::string list = TrustFileFor(exe.substr(0, exe.rfind('/')));
  return {list, list + ".d"};
}

std::optional<Guard> PosixFiles::Examine(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return GuardOf(st);
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  Throw(errno);
}

GuardedText PosixFiles::ReadGuarded(const std::string& path, std::size_t limit) {
  // The file itself is never reached through a link: its place is the one
  // whose folder is examined.
  const std::size_t slash = path.rfind('/');
  const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const Fd folder(open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) ThrowLookupError(errno);
  struct stat st;
  const Fd file = OpenRegular(folder.get(), path.substr(slash + 1), O_RDONLY | O_NOFOLLOW, st);
  return {GuardOf(st), ReadAll(file.get(), limit)};
}

std::vector<std::string> PosixFiles::ListFiles(const std::string& path) {
  Fd listed(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listed.get() < 0) ThrowLookupError(errno);
  DIR* dir = fdopendir(listed.get());
  if (!dir) Throw(errno);
  listed.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closing(dir, closedir);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names.emplace_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) Throw(errno);
  return names;
}

}  // namespace quennel
