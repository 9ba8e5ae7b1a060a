/// What an installed program keeps through an update, seen as its users see
/// it afterwards: owner, group, setuid and setgid, ACL, capabilities, and
/// who may run it; a first install's bits under the umask. The real binary
/// on real files; changing owners needs root (CI runs as root).

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

class Keeps : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (CI runs as root): it sets owners and runs as other users";
    // getpwnam and getgrnam reuse one buffer: each id is copied at once.
    bool found = true;
    const auto user = [&](const char* name) {
      const passwd* p = getpwnam(name);
      found = found && p;
      return p ? std::pair(p->pw_uid, p->pw_gid) : std::pair(uid_t{0}, gid_t{0});
    };
    const auto groupId = [&](const char* name) {
      const group* g = getgrnam(name);
      found = found && g;
      return g ? g->gr_gid : gid_t{0};
    };
    std::tie(daemon_, daemonGroup_) = user("daemon");
    nobody_ = user("nobody").first;
    staff_ = groupId("staff");
    games_ = groupId("games");
    nogroup_ = groupId("nogroup");
    if (!found) GTEST_SKIP() << "needs the daemon, nobody, staff, games, nogroup accounts";
    ShareWithOtherUsers(dir);
    source = dir / "new";
    installed = dir / "app";
    WriteAll(source, ProbeBytes(64));
    SetTime(source, 2000);
  }
  void Install(const std::string& bits, uid_t uid, gid_t gid, mode_t mode) {
    fs::remove(installed);
    WriteAll(installed, bits);
    ASSERT_EQ(chown(installed.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(installed.c_str(), mode), 0);
    SetTime(installed, 1000);
  }
  /// Runs Quennel as root, or as daemon (in its own group and `groups`)
  /// when `groups` is given; returns the outcome.
  Outcome Run(const std::optional<std::vector<gid_t>>& groups = std::nullopt) {
    fs::remove(dir / "out" / "probe.out");
    return InChild([&] {
      if (groups && (setgroups(groups->size(), groups->data()) != 0 || setresgid(daemonGroup_, daemonGroup_, daemonGroup_) != 0 ||
                     setresuid(daemon_, daemon_, daemon_) != 0))
        return 121;
      return ExecQuennel({source.string(), installed.string()}, (dir / "quennel").c_str());
    });
  }
  /// The folder is the updating user's: it may write there, not the installed file.
  void FolderOf(bool byDaemon) { ASSERT_EQ(chown(dir.path.c_str(), byDaemon ? daemon_ : 0, 0), 0); }
  ProbeReport Probe() { return ReadProbe(dir / "out" / "probe.out"); }

  TempDir dir;
  fs::path source, installed;
  uid_t daemon_ = 0, nobody_ = 0;
  gid_t daemonGroup_ = 0, nogroup_ = 0, staff_ = 0, games_ = 0;
};

TEST_F(Keeps, OwnerGroupAndSpecialBitsOnlyTogether) {
  struct Case {
    const char* name;
    Identity before;
    bool byDaemon;  // else by root
    std::vector<gid_t> daemonGroups;
    Identity after;
  } cases[] = {
      {"setuid program of nobody, by root", {nobody_, nogroup_, 04755}, false, {}, {nobody_, nogroup_, 04755}},
      {"setgid games program, by root", {0, games_, 02755}, false, {}, {0, games_, 02755}},
      {"group-only program, by root", {0, staff_, 0750}, false, {}, {0, staff_, 0750}},
      {"setuid and setgid program of nobody, by another user",
       {nobody_, nogroup_, 06755}, true, {}, {daemon_, daemonGroup_, 0755}},
      {"setgid games program, by a member of games",
       {nobody_, games_, 06755}, true, {games_}, {daemon_, games_, 02755}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FolderOf(c.byDaemon);
    Install(ProbeBytes(), c.before.uid, c.before.gid, c.before.mode);

    const Outcome outcome = Run(c.byDaemon ? std::optional(c.daemonGroups) : std::nullopt);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(installed), ProbeBytes(64)) << outcome.err;
    EXPECT_EQ(IdentityOf(installed), c.after);
    EXPECT_EQ(Probe().args, Args{});
  }
}

/// Who may run it after the update: staff members through the group,
/// daemon through an ACL entry that grants it, or not through one that
/// denies it, nor through the folder's default ACL that the installed copy
/// never had.
TEST_F(Keeps, WhoMayRunIt) {
  if (!Output("setfacl --version")) GTEST_SKIP() << "setfacl is missing (Debian: acl)";
  struct Case {
    const char* name;
    Identity before;
    const char* acl;  // or nullptr
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
    Install(ProbeBytes(), c.before.uid, c.before.gid, c.before.mode);
    if (c.acl) {
      ASSERT_TRUE(Output("setfacl -m " + std::string(c.acl) + " " + installed.string()));
    }
    const auto aclBefore = Output("getfacl -cp " + installed.string());
    ASSERT_TRUE(Output("setfacl -k " + dir.path.string()));
    if (c.folderDefault) {
      ASSERT_TRUE(Output("setfacl -d -m " + std::string(c.folderDefault) + " " + dir.path.string()));
    }

    const Outcome update = Run();
    ASSERT_EQ(update.status, 0) << update.err;
    ASSERT_EQ(ReadAll(installed), ProbeBytes(64));
    EXPECT_EQ(IdentityOf(installed), c.before);
    EXPECT_EQ(Output("getfacl -cp " + installed.string()), aclBefore);

    // Now daemon starts it (nothing newer to install).
    const Outcome run = Run(c.daemonGroups);
    EXPECT_EQ(Probe().ran, c.daemonRuns) << run.err;
    EXPECT_EQ(run.status, c.daemonRuns ? 0 : 1);
    if (!c.daemonRuns) {
      EXPECT_NE(run.err.find(std::strerror(EACCES)), std::string::npos) << run.err;
    }
  }
}

/// A capability stays with its owner, is never handed to another one, and
/// one that cannot be kept stops the update, said before any copy, rather
/// than vanish.
TEST_F(Keeps, FileCapabilities) {
  if (!Output("getcap /dev/null")) GTEST_SKIP() << "setcap is missing (Debian: libcap2-bin)";
  struct Case {
    const char* name;
    uid_t owner;
    bool byDaemon;
    bool installs;
    const char* capsAfter;
  } cases[] = {
      {"root's program, by root", 0, false, true, "cap_net_bind_service=ep"},
      {"root's program, by another user", 0, true, true, ""},
      {"daemon's own program, by daemon", daemon_, true, false, "cap_net_bind_service=ep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FolderOf(c.byDaemon);
    Install(ProbeBytes(), c.owner, 0, 0755);
    if (!Output("setcap cap_net_bind_service+ep " + installed.string()))
      GTEST_SKIP() << "this file system takes no capabilities";

    const Outcome outcome = Run(c.byDaemon ? std::optional(std::vector<gid_t>{}) : std::nullopt);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadAll(installed) == ProbeBytes(64), c.installs) << outcome.err;
    const std::string caps = Output("getcap " + installed.string()).value_or("?");
    EXPECT_NE(caps.find(c.capsAfter), std::string::npos) << caps;
    if (!*c.capsAfter) {
      EXPECT_EQ(caps, "");
    }
    EXPECT_EQ(Probe().args, c.installs ? Args{} : Args{"(~!~)"});
    if (!c.installs) {
      EXPECT_NE(outcome.err.find(quennel::texts::kCapabilityNotSettable), std::string::npos) << outcome.err;
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

}  // namespace
