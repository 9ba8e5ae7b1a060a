/// The real binary among other users: what an installed program keeps
/// through an update (owner, group, setuid and setgid, ACL, capabilities,
/// who may run it), and what other users cannot make an update do (follow
/// a link they planted, stall it with a lock, have it overwrite a file).
/// Run as root and as `daemon`; changing owners needs root (CI runs as root).

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

/// What `ls -l` shows: owner, group, mode.
struct Identity {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  bool operator==(const Identity&) const = default;
};
void PrintTo(const Identity& id, std::ostream* out) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(id.mode));
  *out << id.uid << ":" << id.gid << " " << mode;
}
Identity IdentityOf(const fs::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

/// A command's standard output, or nothing when it cannot run.
std::optional<std::string> Output(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
  return pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

class OtherUsers : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (CI runs as root): it sets owners and runs as other users";
    // getgrnam reuses one buffer: each id is copied at once.
    bool found = true;
    const auto groupId = [&](const char* name) {
      const group* g = getgrnam(name);
      found = found && g;
      return g ? g->gr_gid : gid_t{0};
    };
    const auto daemon = UserIds("daemon"), nobody = UserIds("nobody");
    staff_ = groupId("staff");
    games_ = groupId("games");
    nogroup_ = groupId("nogroup");
    if (!found || !daemon || !nobody) GTEST_SKIP() << "needs the daemon, nobody, staff, games, nogroup accounts";
    std::tie(daemon_, daemonGroup_) = *daemon;
    nobody_ = nobody->first;
    ShareWithOtherUsers(dir);
    WriteAll(source, ProbeBytes(64), 0644);
    SetTime(source, 2000);
  }
  /// The old version at `path`.
  void Install(const fs::path& path, uid_t uid, gid_t gid, mode_t mode) {
    fs::remove(path);
    WriteAll(path, ProbeBytes());
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    SetTime(path, 1000);
  }
  /// A folder of `owner`'s with `mode` (umask aside).
  fs::path Folder(const std::string& name, uid_t owner, mode_t mode) {
    const fs::path folder = dir / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    chown(folder.c_str(), owner, owner == daemon_ ? daemonGroup_ : 0);
    chmod(folder.c_str(), mode);
    return folder;
  }
  /// Runs Quennel on `installed` as root, or as daemon (in its own group
  /// and `groups`) when `groups` is given.
  Outcome Run(const fs::path& installed, const std::optional<std::vector<gid_t>>& groups = std::nullopt) {
    fs::remove(dir / "out" / "probe.out");
    return InChild([&] {
      if (groups && !Become(daemon_, daemonGroup_, *groups)) return 121;
      return ExecQuennel({source.string(), installed.string()}, (dir / "quennel").c_str());
    });
  }
  ProbeReport Probe() { return ReadProbe(dir / "out" / "probe.out"); }

  TempDir dir;
  const fs::path source = dir / "new", app = dir / "app";
  uid_t daemon_ = 0, nobody_ = 0;
  gid_t daemonGroup_ = 0, nogroup_ = 0, staff_ = 0, games_ = 0;
};

/// Setuid and setgid, and a file capability, go with the owner and group
/// they were given with, never to another; a capability the updating user
/// may not set stops the update rather than vanish.
TEST_F(OtherUsers, PrivilegesGoOnlyWithTheirOwners) {
  const bool setcap = Output("getcap /dev/null").has_value();
  struct Case {
    const char* name;
    Identity before;
    bool capability;                               // cap_net_bind_service on the installed copy
    std::optional<std::vector<gid_t>> byDaemonIn;  // else by root
    Identity after;
    bool installs = true;
  } cases[] = {
      {"setuid program of nobody, by root", {nobody_, nogroup_, 04755}, false, {}, {nobody_, nogroup_, 04755}},
      {"setgid games program, by root", {0, games_, 02755}, false, {}, {0, games_, 02755}},
      {"setuid and setgid program of nobody, by another user",
       {nobody_, nogroup_, 06755}, false, std::vector<gid_t>{}, {daemon_, daemonGroup_, 0755}},
      {"setgid games program, by a member of games",
       {nobody_, games_, 06755}, false, std::vector{games_}, {daemon_, games_, 02755}},
      {"root's program with a capability, by root", {0, 0, 0755}, true, {}, {0, 0, 0755}},
      {"root's program with a capability, by another user",
       {0, 0, 0755}, true, std::vector<gid_t>{}, {daemon_, daemonGroup_, 0755}},
      {"daemon's own program with a capability, by daemon",
       {daemon_, 0, 0755}, true, std::vector<gid_t>{}, {daemon_, 0, 0755}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.capability && !setcap) GTEST_SKIP() << "setcap is missing (Debian: libcap2-bin)";
    // The folder is the updating user's: it may write there, not the installed file.
    ASSERT_EQ(chown(dir.path.c_str(), c.byDaemonIn ? daemon_ : 0, 0), 0);
    Install(app, c.before.uid, c.before.gid, c.before.mode);
    if (c.capability && !Output("setcap cap_net_bind_service+ep " + app.string()))
      GTEST_SKIP() << "this file system takes no capabilities";

    const Outcome outcome = Run(app, c.byDaemonIn);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(app) == ProbeBytes(64), c.installs) << outcome.err;
    EXPECT_EQ(IdentityOf(app), c.after);
    const bool capabilityKept = c.capability && c.after.uid == c.before.uid;
    EXPECT_EQ(Output("getcap " + app.string()), capabilityKept ? app.string() + " cap_net_bind_service=ep\n" : "");
    EXPECT_EQ(Probe().args, c.installs ? Args{} : Args{"(~!~)"});
    EXPECT_EQ(outcome.err.find(quennel::texts::kCapabilityNotSettable) != std::string::npos, !c.installs)
        << outcome.err;
  }
}

/// Who may run it after the update: staff members through the group,
/// daemon through an ACL entry that grants it, or not through one that
/// denies it, nor through the folder's default ACL that the installed copy
/// never had.
TEST_F(OtherUsers, WhoMayRunIt) {
  if (!Output("setfacl --version")) GTEST_SKIP() << "setfacl is missing (Debian: acl)";
  struct Case {
    const char* name;
    Identity before;
    const char* acl;            // or nullptr
    const char* folderDefault;  // the folder's default ACL, set after the install, or nullptr
    std::vector<gid_t> daemonGroups;
    bool daemonRuns;
  } cases[] = {
      {"group-only program, run by a member", {0, staff_, 0750}, nullptr, nullptr, {staff_}, true},
      {"group-only program, run by another user", {0, staff_, 0750}, nullptr, nullptr, {}, false},
      {"ACL grants daemon", {0, 0, 0750}, "u:daemon:rx", nullptr, {}, true},
      {"ACL denies daemon", {0, 0, 0755}, "u:daemon:---", nullptr, {}, false},
      {"no ACL, the folder's default grants daemon", {0, 0, 0750}, nullptr, "u:daemon:rx", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Install(app, c.before.uid, c.before.gid, c.before.mode);
    if (c.acl) {
      ASSERT_TRUE(Output("setfacl -m " + std::string(c.acl) + " " + app.string()));
    }
    const auto aclBefore = Output("getfacl -cp " + app.string());
    ASSERT_TRUE(Output("setfacl -k " + dir.path.string()));
    if (c.folderDefault) {
      ASSERT_TRUE(Output("setfacl -d -m " + std::string(c.folderDefault) + " " + dir.path.string()));
    }

    const Outcome update = Run(app);
    ASSERT_EQ(update.status, 0) << update.err;
    ASSERT_EQ(ReadAll(app), ProbeBytes(64));
    EXPECT_EQ(IdentityOf(app), c.before);
    EXPECT_EQ(Output("getfacl -cp " + app.string()), aclBefore);

    // Now daemon starts it (nothing newer to install).
    const Outcome run = Run(app, c.daemonGroups);
    EXPECT_EQ(Probe().ran, c.daemonRuns) << run.err;
    EXPECT_EQ(run.status, c.daemonRuns ? 0 : 1);
    if (!c.daemonRuns) {
      EXPECT_NE(run.err.find(std::strerror(EACCES)), std::string::npos) << run.err;
    }
  }
}

/// A first install, where nothing was installed (in a folder whose name
/// the launch line must keep whole): the publisher's bits less the umask,
/// never setuid or setgid.
TEST(FirstInstall, TakesTheSourceBitsLessTheUmask) {
  struct Case {
    mode_t source, umask, installed;
  } cases[] = {{0777, 077, 0700}, {06755, 022, 0755}, {0775, 002, 0775}, {0751, 027, 0750}};
  for (const Case& c : cases) {
    TempDir dir;
    SCOPED_TRACE(c.umask);
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    WriteAll(dir / "new", ProbeBytes(), c.source);
    const fs::path app = dir / "my app" / "prog";
    fs::create_directory(app.parent_path());
    const Outcome outcome = InChild([&] {
      umask(c.umask);
      return ExecQuennel({(dir / "new").string(), app.string()});
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(app), ProbeBytes());
    EXPECT_EQ(IdentityOf(app).mode, c.installed);
    EXPECT_EQ(ReadProbe(dir / "probe.out").args, Args{});
  }
}

/// A link is followed when its owner is the runner, or the owner of the
/// folder holding it, or only that owner can write there; a link anyone
/// else planted in a shared folder is refused, and nothing is written
/// where it leads.
TEST_F(OtherUsers, LinksOthersPlantedAreRefused) {
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
    const fs::path shared = Folder("shared", 0, c.linkFolderMode);
    const fs::path tool = Folder("sbin", 0, 0755) / "tool";
    Install(tool, 0, 0, 04755);
    const fs::path link = shared / (c.linksTheFolder ? "bin" : "tool");
    fs::create_symlink(c.linksTheFolder ? tool.parent_path() : tool, link);
    const uid_t owner = c.byNobody ? nobody_ : 0;
    ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);

    const Outcome outcome = Run(c.linksTheFolder ? link / "tool" : link);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(tool) == ProbeBytes(), c.refused) << outcome.err;
    EXPECT_EQ(IdentityOf(tool).mode, 04755);
    EXPECT_EQ(outcome.err.find(quennel::texts::kForeignLink) != std::string::npos, c.refused) << outcome.err;
    if (c.refused) {
      EXPECT_NE(outcome.err.find(link.string()), std::string::npos) << outcome.err;
      EXPECT_EQ(Probe().args, Args{"(~!~)"});
    }
  }
}

/// A first install makes the folders its path lacks, as `mkdir -p` would
/// (the umask applies), by the rules of links: never through one another
/// user planted in a shared folder, nor a dangling one, and then nothing
/// is made where either leads.
TEST_F(OtherUsers, FirstInstallMakesTheMissingFolders) {
  const fs::path home = Folder("home", 0, 0755), shared = Folder("shared", 0, 01777);
  const fs::path elsewhere = Folder("elsewhere", 0, 0755), gone = dir / "gone";
  fs::create_symlink(elsewhere, shared / "lib");
  ASSERT_EQ(lchown((shared / "lib").c_str(), nobody_, nogroup_), 0);
  fs::create_symlink(gone, home / "dangling");
  chmod(source.c_str(), 0755);
  const struct {
    fs::path app;
    mode_t umask;
    std::string refusal;  // empty: installed
  } cases[] = {
      {home / ".local/lib/APP/prog", 002, ""},
      {home / "a/b/prog", 027, ""},
      {shared / "lib/APP/prog", 022, quennel::texts::kForeignLink},
      {home / "dangling/APP/prog", 022, std::strerror(ENOENT) + std::string("\nCopy ")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.app);
    const Outcome outcome = InChild([&] {
      umask(c.umask);
      return ExecQuennel({source.string(), c.app.string()}, (dir / "quennel").c_str());
    });

    EXPECT_EQ(ReadAll(c.app) == ProbeBytes(64), c.refusal.empty()) << outcome.err;
    if (c.refusal.empty()) EXPECT_EQ(outcome.err, "");
    else EXPECT_NE(outcome.err.find(c.refusal), std::string::npos) << outcome.err;
    for (fs::path folder = c.app.parent_path(); c.refusal.empty() && folder != home; folder = folder.parent_path())
      EXPECT_EQ(IdentityOf(folder), (Identity{0, 0, 0777 & ~c.umask})) << folder;
  }
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_FALSE(fs::exists(gone));
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

void LockWhole(const fs::path& path) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  fcntl(open(path.c_str(), O_RDWR), F_OFD_SETLK, &whole);
}

/// Nothing a reader of the folder, or another user, holds or leaves at
/// the lock's name delays an update: it installs at once, and what stands
/// at that name stays exactly as it was.
TEST_F(OtherUsers, NothingOthersHoldDelaysAnUpdate) {
  const fs::path lock = dir / ".app.quennel~lock", precious = dir / "precious";
  const auto LockFileOf = [&](uid_t owner, mode_t mode) {
    WriteAll(lock, "", mode);
    chown(lock.c_str(), owner, 0);
  };
  struct Case {
    const char* name;
    std::function<void()> hold;   // in the holder, running as root
    std::function<void()> plant;  // before, in the folder
    mode_t folderMode = 0755;
  } cases[] = {
      {"a reader's shared flock on the folder",
       [&] { flock(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY), LOCK_SH); }, [] {}},
      {"a reader's exclusive flock on the folder",
       [&] { flock(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY), LOCK_EX); }, [] {}},
      {"another user's lock file open to all, locked", [&] { LockWhole(lock); }, [&] { LockFileOf(daemon_, 0666); }},
      {"another user's closed lock file in a folder all may write, locked", [&] { LockWhole(lock); },
       [&] { LockFileOf(nobody_, 0600); }, 0777},
      {"a closed lock file, locked by a user who could not replace root's program in a sticky folder",
       [&] { LockWhole(lock); }, [&] { LockFileOf(nobody_, 0600); }, 01777},
      {"a link at the lock's name", [] {}, [&] { fs::create_symlink(precious, lock); }},
      {"a pipe at the lock's name", [] {}, [&] { mkfifo(lock.c_str(), 0666); }},
      {"root's own file, hard-linked at the lock's name", [] {}, [&] { fs::create_hard_link(precious, lock); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(lock);
    WriteAll(precious, "must stay untouched", 0600);  // a lock file of root's but for its second name
    chmod(dir.path.c_str(), c.folderMode);
    Install(app, 0, 0, 0755);
    c.plant();
    const std::string before = Looks(lock), preciousBefore = Looks(precious);
    const pid_t holder = Holder(c.hold);

    const Outcome outcome = Run(app);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(ReadAll(app) == ProbeBytes(64));
    EXPECT_EQ(Probe().args, Args{});
    EXPECT_EQ(Looks(lock), before);
    EXPECT_EQ(Looks(precious), preciousBefore);
  }
}

/// Owners update within their rights, though a folder they may write but
/// not read can be neither listed nor flushed, and a program they may run
/// but not read cannot be opened for reading.
TEST_F(OtherUsers, OwnersUpdateWithinTheirRights) {
  const struct {
    const char* name;
    mode_t folderMode, programMode;
  } cases[] = {
      {"a folder its owner may write, not read", 0300, 0755},
      {"a program its owner may run, not read", 0755, 0111},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = Folder("own", daemon_, 0755), own = folder / "app";
    Install(own, daemon_, daemonGroup_, c.programMode);
    chmod(folder.c_str(), c.folderMode);

    const Outcome outcome = Run(own, std::vector<gid_t>{});

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(own), ProbeBytes(64)) << outcome.err;
    EXPECT_EQ(Probe().args, Args{});
    EXPECT_EQ(IdentityOf(own).mode, c.programMode);
    EXPECT_EQ(OwnFilesIn(folder), std::vector<std::string>{});
  }
}

}  // namespace
