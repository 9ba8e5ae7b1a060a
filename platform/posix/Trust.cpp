/// Signed versions on POSIX: where the administrator's list of trusted keys
/// is, whether it is safe to believe, and reading it and a signature.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/posix/Fd.h"
#include "platform/posix/PosixPlatform.h"
#include "update/Signature.h"
#include "update/Texts.h"

namespace quennel {
namespace {

/// Reads all of `fd` into `text`, at most `limit` bytes. Returns 0 or an
/// errno value.
int ReadSmall(int fd, std::size_t limit, std::string& text) {
  char buffer[4096];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > limit) return EFBIG;
  }
}

/// As OpenSSH has it for its keys: owned by root or the runner, and
/// writable by nobody else (a POSIX ACL's grants show in the group bits).
bool OnlyOwnerWrites(const struct stat& st) {
  return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

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

std::optional<TrustFile> PosixPlatform::ReadTrustFile() {
  const std::string exe = ExecutablePath();
  const std::string path = TrustFileFor(exe.substr(0, exe.rfind('/')));
  const std::string folderPath = path.substr(0, path.rfind('/'));
  const auto unreadable = [&](int error) {
    UseUserLocale();
    return PlatformError(texts::kTrustUnreadable + path + " (" + std::strerror(error) + ")");
  };
  // Without our own place we cannot tell whether there is a list: refuse.
  if (exe.empty()) throw unreadable(ENOENT);

  Fd folder(open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 && (errno == ENOENT || errno == ENOTDIR)) return std::nullopt;
  if (folder.get() < 0) throw unreadable(errno);
  // The list itself is never reached through a link: its place is the one
  // whose folder is checked.
  Fd file(openat(folder.get(), path.c_str() + folderPath.size() + 1, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0 && errno == ENOENT) return std::nullopt;
  if (file.get() < 0) throw unreadable(errno);

  struct stat fileStatus, folderStatus;
  if (fstat(file.get(), &fileStatus) != 0 || fstat(folder.get(), &folderStatus) != 0) throw unreadable(errno);
  if (!S_ISREG(fileStatus.st_mode)) throw unreadable(S_ISDIR(fileStatus.st_mode) ? EISDIR : EINVAL);
  if (!OnlyOwnerWrites(fileStatus)) throw PlatformError(texts::kTrustUnsafe + path);
  if (!OnlyOwnerWrites(folderStatus)) throw PlatformError(texts::kTrustFolderUnsafe + folderPath);
  TrustFile trust{path, {}, false};
  if (const int error = ReadSmall(file.get(), kTrustFileMaxBytes, trust.text)) throw unreadable(error);
  return trust;
}

std::string PosixPlatform::ReadSignature(const std::string& path) {
  // The new version may well be reached through links; its signature too.
  Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0 && errno == ENOENT) {
    UseUserLocale();
    throw MissingError(std::strerror(ENOENT));
  }
  if (file.get() < 0) ThrowSystemError(errno);
  struct stat st;
  if (fstat(file.get(), &st) != 0) ThrowSystemError(errno);
  if (S_ISDIR(st.st_mode)) ThrowSystemError(EISDIR);
  if (!S_ISREG(st.st_mode)) ThrowSystemError(EINVAL);
  std::string text;
  if (const int error = ReadSmall(file.get(), kSignatureMaxBytes, text)) ThrowSystemError(error);
  return text;
}

}  // namespace quennel
