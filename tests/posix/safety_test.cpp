/// What other users cannot make an update do: follow a link they planted,
/// stall it with a lock, lose it their files. The real binary on real
/// files, run as root and as `daemon`; changing owners needs root.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "platform/posix/LockFile.h"
#include "platform/posix/OwnFiles.h"
#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

constexpr const char* kLockName = ".app.quennel~lock";

uid_t UserId(const char* name) {
  const passwd* p = getpwnam(name);
  return p ? p->pw_uid : 0;
}

class Safety : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (CI runs as root): it sets owners and runs as other users";
    daemon_ = UserId("daemon");
    nobody_ = UserId("nobody");
    if (daemon_ == 0 || nobody_ == 0) GTEST_SKIP() << "needs the daemon and nobody accounts";
    ShareWithOtherUsers(dir);
    source = dir / "new";
    WriteAll(source, ProbeBytes(64), 0644);
    SetTime(source, 2000);
  }
  /// Runs Quennel on `installed`, as root or as `user` (in its own group).
  Outcome Run(const fs::path& installed, std::optional<uid_t> user = std::nullopt) {
    fs::remove(dir / "out" / "probe.out");
    return InChild([&] {
      const gid_t group = user ? getpwuid(*user)->pw_gid : 0;
      if (user && (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
                   setresuid(*user, *user, *user) != 0))
        return 121;
      return ExecQuennel({source.string(), installed.string()}, (dir / "quennel").c_str());
    });
  }
  /// A folder of `owner` with `mode`, set after creating it (umask aside).
  fs::path Folder(const std::string& name, uid_t owner, mode_t mode) {
    const fs::path folder = dir / name;
    fs::create_directories(folder);
    chown(folder.c_str(), owner, owner == 0 ? 0 : getpwuid(owner)->pw_gid);
    chmod(folder.c_str(), mode);
    return folder;
  }
  /// The old version, owned by `owner`, with `mode`.
  void Install(const fs::path& path, uid_t owner, mode_t mode) {
    WriteAll(path, ProbeBytes(), mode);
    chown(path.c_str(), owner, owner == 0 ? 0 : getpwuid(owner)->pw_gid);
    chmod(path.c_str(), mode);
    SetTime(path, 1000);
  }
  ProbeReport Probe() { return ReadProbe(dir / "out" / "probe.out"); }

  TempDir dir;
  fs::path source;
  uid_t daemon_ = 0, nobody_ = 0;
};

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

/// A link is followed when its owner is the runner, or the owner of the
/// folder holding it, or only that owner can write there; a link anyone
/// else planted in a shared folder is refused, and nothing is written
/// where it leads.
TEST_F(Safety, LinksOthersPlantedAreRefused) {
  struct Case {
    const char* name;
    mode_t linkFolderMode;  // the folder holding the link, root's
    bool linksTheFolder;    // the link stands for the program's folder, else for the program
    bool byNobody;          // the link's owner: nobody, else root (the runner)
    bool refused;
  } cases[] = {
      {"nobody's link to a setuid program, in a sticky shared folder", 01777, false, true, true},
      {"nobody's link to the program's folder, in a sticky shared folder", 01777, true, true, true},
      {"nobody's link, in a group-writable folder", 0775, false, true, true},
      {"the runner's own link, in a sticky shared folder", 01777, false, false, false},
      {"nobody's link, in a folder only root writes", 0755, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "shared");
    fs::remove_all(dir / "sbin");
    const fs::path shared = Folder("shared", 0, c.linkFolderMode);
    const fs::path tool = Folder("sbin", 0, 0755) / "tool";
    Install(tool, 0, 04755);
    const fs::path link = shared / (c.linksTheFolder ? "bin" : "tool");
    fs::create_symlink(c.linksTheFolder ? tool.parent_path() : tool, link);
    const uid_t owner = c.byNobody ? nobody_ : 0;
    ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);

    const Outcome outcome = Run(c.linksTheFolder ? link / "tool" : link);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(tool) == ProbeBytes(), c.refused) << outcome.err;
    EXPECT_EQ(ModeOf(tool), 04755);
    EXPECT_EQ(outcome.err.find(quennel::texts::kForeignLink) != std::string::npos, c.refused) << outcome.err;
    if (c.refused) {
      EXPECT_NE(outcome.err.find(link.string()), std::string::npos) << outcome.err;
      EXPECT_EQ(Probe().args, Args{"(~!~)"});
    }
  }
}

/// Runs `hold` in a child that then waits to be killed; returns its id
/// once `hold` is done.
pid_t Holder(const std::function<void()>& hold) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    hold();
    (void)!write(ready[1], "H", 1);
    pause();
    _exit(0);
  }
  char byte;
  (void)!read(ready[0], &byte, 1);
  close(ready[0]);
  close(ready[1]);
  return pid;
}

void LockWhole(int file) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  fcntl(file, F_OFD_SETLK, &whole);
}

/// Nothing a reader of the folder, or another user, holds or leaves at
/// the lock's name delays an update: it installs at once, and what stands
/// at that name stays as it was.
TEST_F(Safety, NothingOthersHoldDelaysAnUpdate) {
  const fs::path app = dir / "app", lock = dir / kLockName, precious = dir / "precious";
  const auto LockFileOf = [&](uid_t owner, mode_t mode) {
    WriteAll(lock, "", mode);
    chown(lock.c_str(), owner, 0);
  };
  struct Case {
    const char* name;
    std::function<void()> hold;  // in the holder, running as root
    std::function<void()> plant;  // before, in the folder
    fs::file_type atLockName;
    mode_t folderMode = 0755;
  } cases[] = {
      {"a reader's shared flock on the folder",
       [&] { flock(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY), LOCK_SH); }, [] {}, fs::file_type::not_found},
      {"a reader's exclusive flock on the folder",
       [&] { flock(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY), LOCK_EX); }, [] {}, fs::file_type::not_found},
      {"another user's lock file open to all, locked",
       [&] { LockWhole(open(lock.c_str(), O_RDWR)); }, [&] { LockFileOf(daemon_, 0666); }, fs::file_type::regular},
      {"a closed lock file, locked by a user who could not replace root's program in a sticky folder",
       [&] { LockWhole(open(lock.c_str(), O_RDWR)); }, [&] { LockFileOf(nobody_, 0600); }, fs::file_type::regular,
       01777},
      {"a link at the lock's name", [] {}, [&] { fs::create_symlink(precious, lock); }, fs::file_type::symlink},
      {"a pipe at the lock's name", [] {}, [&] { mkfifo(lock.c_str(), 0666); }, fs::file_type::fifo},
  };
  WriteAll(precious, "must stay untouched", 0644);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(lock);
    chmod(dir.path.c_str(), c.folderMode);
    Install(app, 0, 0755);
    c.plant();
    const pid_t holder = Holder(c.hold);

    const Outcome outcome = Run(app);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(ReadAll(app) == ProbeBytes(64));
    EXPECT_EQ(Probe().args, Args{});
    EXPECT_EQ(fs::symlink_status(lock).type(), c.atLockName);
    EXPECT_EQ(ReadAll(precious), "must stay untouched");
  }
}

/// The lock file exists only while a run replaces the program, and only
/// the runner, or the group that may write the folder, can open it.
TEST_F(Safety, LockFileIsOnlyTheWritersWhileItLasts) {
  const gid_t staff = getgrnam("staff") ? getgrnam("staff")->gr_gid : 0;
  if (staff == 0) GTEST_SKIP() << "needs the staff group";
  struct Case {
    const char* name;
    mode_t folderMode;
    gid_t folderGroup;
    mode_t lockMode;
    gid_t lockGroup;
  } cases[] = {
      {"a folder only root writes", 0755, 0, 0600, 0},
      {"a folder the staff group writes", 02775, staff, 0660, staff},
  };
  const fs::path folder = dir / "apps", app = folder / "app", lock = folder / kLockName;
  WriteAll(source, ProbeBytes(1 << 20), 0644);  // slowed down below: long enough to look
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder);
    Folder("apps", 0, c.folderMode);
    chown(folder.c_str(), 0, c.folderGroup);
    chmod(folder.c_str(), c.folderMode);
    Install(app, 0, 0755);

    const pid_t run = Spawn({source.string(), app.string()}, dir / "out" / "probe.out", "/dev/null", SLOWCOPY_LIBRARY);
    struct stat st {};
    // Looked at once its holder has written its pid: the mode is given before that.
    for (int i = 0; i < 10'000 && (lstat(lock.c_str(), &st) != 0 || st.st_size == 0); ++i) usleep(1000);
    const Outcome byNobody = InChild([&] {
      return setresuid(nobody_, nobody_, nobody_) == 0 && open(lock.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1;
    });

    EXPECT_EQ(st.st_mode & 07777, c.lockMode);
    EXPECT_EQ(st.st_gid, c.lockGroup);
    EXPECT_EQ(byNobody.status, 0) << "nobody could open the lock file";
    EXPECT_EQ(Wait(run), 0);
    EXPECT_TRUE(ReadAll(app) == ProbeBytes(1 << 20));
    EXPECT_FALSE(fs::exists(lock));
  }
}

/// The names created in `folder` while `body` runs.
std::vector<std::string> CreatedDuring(const fs::path& folder, const std::function<void()>& body) {
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, folder.c_str(), IN_CREATE);
  body();
  std::vector<std::string> names;
  alignas(inotify_event) char events[8192];
  for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0) names.emplace_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  close(watch);
  return names;
}

/// Staging files left beside the program, lock file aside.
int StagingFiles(const fs::path& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    count += name.find(".quennel~") != std::string::npos && name != kLockName;
  }
  return count;
}

/// Faults that other users' rights cause, each met by the right outcome
/// as its owner `daemon` updates a program in its own folder: a folder it
/// may write but not read is updated; a capability only root may set stops
/// the update before anything is copied.
TEST_F(Safety, OwnersUpdateWithinTheirRights) {
  const bool setcap = system("command -v setcap >/dev/null") == 0;
  struct Case {
    const char* name;
    mode_t folderMode;
    const char* capability;  // given to the installed program, or nullptr
    bool installs;
  } cases[] = {
      {"a folder its owner may write, not read", 0300, nullptr, true},
      {"a program with a capability", 0755, "cap_net_bind_service+ep", false},
  };
  WriteAll(source, ProbeBytes(size_t{64} << 20), 0644);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.capability && !setcap) continue;  // no setcap here (Debian: libcap2-bin)
    fs::remove_all(dir / "own");
    const fs::path folder = Folder("own", daemon_, 0755), app = folder / "app";
    Install(app, daemon_, 0755);
    if (c.capability) {
      ASSERT_EQ(system(("setcap " + std::string(c.capability) + " " + app.string()).c_str()), 0);
    }
    chmod(folder.c_str(), c.folderMode);

    Outcome outcome;
    const auto created = CreatedDuring(folder, [&] { outcome = Run(app, daemon_); });

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(app) == ProbeBytes(size_t{64} << 20), c.installs) << outcome.err;
    EXPECT_EQ(Probe().args, c.installs ? Args{} : Args{"(~!~)"});
    EXPECT_EQ(StagingFiles(folder), 0);
    if (!c.installs) {
      EXPECT_NE(outcome.err.find(quennel::texts::kCapabilityNotSettable), std::string::npos) << outcome.err;
      EXPECT_EQ(created, std::vector<std::string>{kLockName}) << "a staging file was written";
    }
  }
}

/// Staging files younger than ten minutes may be live runs' copies: an
/// update leaves them, the runner's own as much as another user's.
TEST_F(Safety, FreshStagingFilesStay) {
  const fs::path app = dir / "app", mine = dir / ".app.quennel~Mine01", theirs = dir / ".app.quennel~Dmon01";
  Install(app, 0, 0755);
  WriteAll(mine, "a copy in progress");
  WriteAll(theirs, "a copy in progress");
  chown(theirs.c_str(), daemon_, 0);

  const Outcome outcome = Run(app);

  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(ReadAll(app) == ProbeBytes(64));
  EXPECT_EQ(ReadAll(mine), "a copy in progress");
  EXPECT_EQ(ReadAll(theirs), "a copy in progress");
  EXPECT_FALSE(fs::exists(dir / kLockName));
}

}  // namespace
