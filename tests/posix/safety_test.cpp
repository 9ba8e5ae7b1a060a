/// What other users cannot make an update do: follow a link they planted,
/// stall it with a lock, lose it their files. The real binary on real
/// files, run as root and as `daemon`; changing owners needs root.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

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
    // Other users reach the folder and run their own copy of Quennel (the
    // build folder may be closed to them).
    chmod(dir.path.c_str(), 0755);
    fs::copy_file(QUENNEL_BINARY, dir / "quennel");
    fs::create_directory(dir / "out");
    chmod((dir / "out").c_str(), 0777);
    setenv("PROBE_OUT", (dir / "out" / "probe.out").c_str(), 1);
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

}  // namespace
