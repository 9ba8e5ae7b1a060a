/// Carrying the installed copy's owner, mode and extended attributes over
/// to the staging file that replaces it. Runs only when a version is
/// installed, never on a plain start.

#include "platform/posix/Identity.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/Fd.h"

namespace quennel {
namespace {

/// Reading the umask means setting it; it is put back at once (Quennel runs
/// one thread).
mode_t CurrentUmask() {
  const mode_t mask = umask(077);
  umask(mask);
  return mask;
}

enum class Kind {
  Access,       // who may run the program: never dropped in silence
  Capability,   // privilege, like setuid: only with the owner
  ContentBound, // a signature of the old bytes (IMA, EVM): wrong for the new ones
  Other,        // kept where the file system and our rights allow
};

Kind KindOf(std::string_view name) {
  if (name == "system.posix_acl_access" || name == "system.nfs4_acl" || name == "system.richacl")
    return Kind::Access;
  if (name == "security.capability") return Kind::Capability;
  if (name == "security.ima" || name == "security.evm") return Kind::ContentBound;
  return Kind::Other;
}

/// fchown's refusals: not permitted, or an id this namespace cannot map.
bool NotAllowed(int error) { return error == EPERM || error == EINVAL; }

/// Refusals that mean "not here, not by you" rather than a failing disk.
bool Refused(int error) {
  return error == EPERM || error == EACCES || error == ENOTSUP || error == EINVAL;
}

/// The installed copy's extended attributes. Read through /proc from its
/// O_PATH descriptor, which needs no right to read the file (an
/// execute-only program); without /proc, from the file opened for reading.
class AttributeReader {
public:
  explicit AttributeReader(int pathFd) : path_("/proc/self/fd/" + std::to_string(pathFd)) {}
  /// Reads from `readFd` (open for reading) instead.
  void Use(int readFd) { fd_ = readFd; }

  /// The attribute names; 0 or an errno value.
  int Names(std::vector<std::string>& names) const {
    std::vector<char> list;
    const int error = Read(
        [&](char* b, size_t n) { return fd_ >= 0 ? flistxattr(fd_, b, n) : listxattr(path_.c_str(), b, n); },
        list);
    if (error == ENOTSUP) return 0;  // a file system without attributes
    if (error != 0) return error;
    for (size_t at = 0; at < list.size();) {
      const std::string name(list.data() + at);
      at += name.size() + 1;
      if (!name.empty()) names.push_back(name);
    }
    return 0;
  }
  int Value(const std::string& name, std::vector<char>& value) const {
    return Read(
        [&](char* b, size_t n) {
          return fd_ >= 0 ? fgetxattr(fd_, name.c_str(), b, n) : getxattr(path_.c_str(), name.c_str(), b, n);
        },
        value);
  }

private:
  /// Asks for the size, then the bytes, again if they grew in between.
  template <typename Call>
  static int Read(Call call, std::vector<char>& out) {
    for (int tries = 0; tries < 8; ++tries) {
      const ssize_t size = call(nullptr, 0);
      if (size < 0) return errno;
      out.resize(static_cast<size_t>(size) + 1);
      const ssize_t got = call(out.data(), out.size());
      if (got >= 0) {
        out.resize(static_cast<size_t>(got));
        return 0;
      }
      if (errno != ERANGE) return errno;
    }
    return ERANGE;
  }

  std::string path_;
  int fd_ = -1;
};

/// Sets the mode; a file system that keeps none (FAT through FUSE) is not
/// a failed copy. Returns 0 or an errno value.
int SetMode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return 0;
  return errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP ? 0 : errno;
}

/// Whether this process may set file capabilities (CAP_SETFCAP).
bool MaySetCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[CAP_TO_INDEX(CAP_SETFCAP)].effective & CAP_TO_MASK(CAP_SETFCAP)) != 0;
}

/// Copies every extended attribute that belongs on the new file.
int CopyAttributes(int staging, int folder, const char* installedName, int installedPath,
                   const struct stat& installed, bool ownerKept) {
  AttributeReader reader(installedPath);
  std::vector<std::string> names;
  int error = reader.Names(names);
  const Fd readable(error == ENOENT ? openat(folder, installedName,
                                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                                    : -1);
  struct stat again;
  if (readable.get() >= 0 && fstat(readable.get(), &again) == 0 && again.st_dev == installed.st_dev &&
      again.st_ino == installed.st_ino) {
    reader.Use(readable.get());
    error = reader.Names(names);
  }
  if (error != 0) return error;
  std::vector<char> value;
  for (const std::string& name : names) {
    const Kind kind = KindOf(name);
    if (kind == Kind::ContentBound || (kind == Kind::Capability && !ownerKept)) continue;
    const bool mustKeep = kind == Kind::Access || kind == Kind::Capability;
    if (error = reader.Value(name, value); error != 0) {
      if (error == ENODATA || (!mustKeep && Refused(error))) continue;
      return error;
    }
    if (fsetxattr(staging, name.c_str(), value.data(), value.size(), 0) != 0) {
      error = errno;
      if (!mustKeep && Refused(error)) continue;
      return error;
    }
  }
  // An ACL the new file inherited from its folder's default, where the
  // installed copy had none, would let others run what they could not.
  constexpr const char* kAcl = "system.posix_acl_access";
  if (std::find(names.begin(), names.end(), kAcl) == names.end() && fremovexattr(staging, kAcl) != 0 &&
      errno != ENODATA && errno != ENOTSUP)
    return errno;
  return 0;
}

/// Opens the installed copy into `found` (O_PATH, never through a link),
/// with its status; leaves `found` closed where no regular file is
/// installed. Returns 0 or an errno value.
int OpenInstalled(int folder, const char* installedName, Fd& found, struct stat& installed) {
  found.reset(openat(folder, installedName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (found.get() < 0) return errno == ENOENT || errno == ELOOP ? 0 : errno;
  if (fstat(found.get(), &installed) != 0) return errno;
  if (!S_ISREG(installed.st_mode)) found.reset();
  return 0;
}

/// Gives `file` the owner and group of `installed` where we may; otherwise
/// ours stay, though a member of the group may still hand the file to it.
/// fchown clears setuid, setgid and capabilities, so it goes first.
int GiveOwner(int file, const struct stat& installed, bool& ownerKept, bool& groupKept) {
  struct stat ours;
  if (fstat(file, &ours) != 0) return errno;
  uid_t owner = ours.st_uid;
  gid_t group = ours.st_gid;
  if (owner != installed.st_uid || group != installed.st_gid) {
    int error = fchown(file, installed.st_uid, installed.st_gid) == 0 ? 0 : errno;
    if (error == 0) {
      owner = installed.st_uid;
      group = installed.st_gid;
    } else if (!NotAllowed(error)) {
      return error;
    } else if (group != installed.st_gid) {
      error = fchown(file, static_cast<uid_t>(-1), installed.st_gid) == 0 ? 0 : errno;
      if (error == 0) group = installed.st_gid;
      else if (!NotAllowed(error)) return error;
    }
  }
  ownerKept = owner == installed.st_uid;
  groupKept = group == installed.st_gid;
  return 0;
}

}  // namespace

int TakeIdentity(int staging, int folder, const char* installedName, mode_t source) {
  struct stat installed;
  Fd found;
  if (const int error = OpenInstalled(folder, installedName, found, installed); error != 0) return error;
  if (found.get() < 0) {
    // A first install: the publisher's bits as this user's umask allows.
    return SetMode(staging, source & 0777 & ~CurrentUmask());
  }
  bool ownerKept = false, groupKept = false;
  if (const int error = GiveOwner(staging, installed, ownerKept, groupKept); error != 0) return error;
  mode_t mode = installed.st_mode & 07777;
  if (!ownerKept) mode &= ~static_cast<mode_t>(S_ISUID);
  if (!groupKept) mode &= ~static_cast<mode_t>(S_ISGID);
  if (const int error = SetMode(staging, mode); error != 0) return error;
  return CopyAttributes(staging, folder, installedName, found.get(), installed, ownerKept);
}

int TakeCompanionIdentity(int file, int folder, const char* installedName) {
  struct stat installed;
  Fd found;
  if (const int error = OpenInstalled(folder, installedName, found, installed); error != 0) return error;
  bool ownerKept = false, groupKept = false;
  if (found.get() >= 0) {
    if (const int error = GiveOwner(file, installed, ownerKept, groupKept); error != 0) return error;
  }
  return SetMode(file, 0644);
}

bool CapabilityBeyondReach(int folder, const char* installedName) {
  const Fd found(openat(folder, installedName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat installed;
  if (found.get() < 0 || fstat(found.get(), &installed) != 0 || !S_ISREG(installed.st_mode)) return false;
  if (installed.st_uid != geteuid() || MaySetCapabilities()) return false;
  AttributeReader reader(found.get());
  std::vector<char> value;
  int error = reader.Value("security.capability", value);
  const Fd readable(error == ENOENT ? openat(folder, installedName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                                                                        O_NOCTTY | O_CLOEXEC)
                                    : -1);
  if (readable.get() >= 0) {  // no /proc
    reader.Use(readable.get());
    error = reader.Value("security.capability", value);
  }
  return error == 0;
}

}  // namespace quennel
