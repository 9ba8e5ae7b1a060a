/// The real program on real files: started as a user starts it, headless,
/// with a probe program standing in for the installed one.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

class Backend : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    unsetenv("PROBE_STATUS");
  }
  Outcome Run(const Args& args) {
    return InChild([&] { return ExecQuennel(args); });
  }
  ProbeReport Probe() { return ReadProbe(dir / "probe.out"); }
  /// Staging files left in the folder.
  int Leftovers(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
      count += entry.path().filename().string().find(".quennel~") != std::string::npos;
    return count;
  }
  TempDir dir;
};

TEST_F(Backend, ArgumentsArriveByteForByte) {
  const Args awkward = {"",  " ",    "a b",       "\"",        "\\",     "\\\\\"", "end\\",
                        "tab\tin", "new\nline", "é ü 中", "$HOME", "*",      "; ls",   "(~!~)"};
  WriteAll(dir / "new", ProbeBytes(1));
  WriteAll(dir / "app", ProbeBytes());
  SetTime(dir / "new", 1000);  // older: nothing to install
  setenv("PROBE_STATUS", "7", 1);
  Args args = {(dir / "new").string(), (dir / "app").string()};
  args.insert(args.end(), awkward.begin(), awkward.end());

  const Outcome outcome = Run(args);

  const ProbeReport probe = Probe();
  ASSERT_TRUE(probe.ran) << outcome.err;
  Args expected = awkward;
  expected.push_back("(~!~)");
  EXPECT_EQ(probe.args, expected);
  // The program took Quennel's place: same process, its exit status.
  EXPECT_EQ(probe.pid, outcome.pid);
  EXPECT_EQ(outcome.status, 7);
  EXPECT_TRUE(probe.fds.empty()) << probe.fds.front();
  EXPECT_EQ(outcome.err, "");
}

TEST_F(Backend, InstallsTheNewVersion) {
  WriteAll(dir / "new", ProbeBytes(4096), 0755);
  WriteAll(dir / "app", ProbeBytes(), 0750);
  SetTime(dir / "app", 1000);
  SetTime(dir / "new", 2000, 123456789);

  const Outcome outcome = Run({(dir / "new").string(), (dir / "app").string(), "-x", "a b"});

  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadAll(dir / "app"), ProbeBytes(4096));
  const timespec installed = TimeOf(dir / "app");
  EXPECT_EQ(installed.tv_sec, 2000);
  EXPECT_EQ(installed.tv_nsec, 123456789);
  EXPECT_EQ(fs::status(dir / "app").permissions(), fs::perms(0750));
  const ProbeReport probe = Probe();
  EXPECT_EQ(probe.size, static_cast<long long>(ProbeBytes(4096).size()));
  EXPECT_EQ(probe.args, (Args{"-x", "a b"}));
  EXPECT_TRUE(probe.fds.empty()) << probe.fds.front();
  EXPECT_EQ(Leftovers(dir.path), 0);

  // The next start finds the times equal and installs nothing.
  const Outcome again = Run({(dir / "new").string(), (dir / "app").string()});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(Probe().args, Args{"(~!~)"});
}

TEST_F(Backend, InstallsWhereNothingWasInstalled) {
  WriteAll(dir / "new", ProbeBytes(), 0751);
  fs::create_directory(dir / "my app");
  const Outcome outcome = Run({(dir / "new").string(), (dir / "my app" / "prog").string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadAll(dir / "my app" / "prog"), ProbeBytes());
  EXPECT_EQ(fs::status(dir / "my app" / "prog").permissions(), fs::perms(0751));
  EXPECT_TRUE(Probe().args.empty());
}

TEST_F(Backend, DestinationFolderGivesTheCopyErrorThenTheReport) {
  WriteAll(dir / "new", ProbeBytes());
  fs::create_directory(dir / "app");
  const std::string source = (dir / "new").string(), dest = (dir / "app").string();

  const Outcome outcome = Run({source, dest});

  EXPECT_EQ(outcome.status, 1);
  const std::string isDir = std::strerror(EISDIR);
  EXPECT_EQ(outcome.err, "quennel\n" + isDir + "\nCopy " + source + ", " + dest + "\n" +
                             "Quennel\nErreur d'exécution\n" + isDir + "\n\"" + dest + "\"\n");
  EXPECT_TRUE(fs::is_directory(dir / "app"));
  EXPECT_EQ(Leftovers(dir.path), 0);
  EXPECT_FALSE(Probe().ran);
}

TEST_F(Backend, UnstartableProgramIsReported) {
  struct Case {
    const char* name;
    mode_t mode;
    bool exists;
    int error;
  } cases[] = {
      {"not executable", 0644, true, EACCES},
      {"missing", 0755, false, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "app");
    if (c.exists) WriteAll(dir / "app", "#!/bin/sh\nexit 0\n", c.mode);
    const Outcome outcome = Run({(dir / "missing-new").string(), (dir / "app").string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Quennel\nErreur d'exécution\n" + std::string(std::strerror(c.error)) +
                               "\n\"" + (dir / "app").string() + "\"\n");
  }
}

TEST_F(Backend, UsageWithoutADisplayGoesToStandardError) {
  const Args malformed[] = {{}, {"only-one"}, {"", "b"}, {"a", ""}, {"a\"b", "c"}};
  for (const Args& args : malformed) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err,
              "Quennel\nDonnez le programme source entre guillements, un espace, et le programme "
              "destination entre guillemets en paramètre svp.\n");
  }
  EXPECT_FALSE(Probe().ran);
}

TEST_F(Backend, Version) {
  const Outcome outcome = InChild([] {
    dup2(2, 1);
    return ExecQuennel({"--version"});
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "Quennel 5.00.0011\n");
}

/// Runs Quennel in a private mount namespace on a tiny file system that
/// holds the installed program; `prepare` may make that file system fail.
/// Returns 0 when the installed program is left exactly as it was.
Outcome InSmallFileSystem(const fs::path& mountPoint, const std::string& oldBits,
                          const Args& args, const std::function<bool()>& prepare) {
  return InChild([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0) return 77;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) return 77;
    WriteAll(mountPoint / "app", oldBits);
    SetTime(mountPoint / "app", 1000);
    if (!prepare()) return 76;
    const pid_t quennel = fork();
    if (quennel == 0) _exit(ExecQuennel(args));
    int status = 0;
    waitpid(quennel, &status, 0);
    if (ReadAll(mountPoint / "app") != oldBits) return 10;
    for (const auto& entry : fs::directory_iterator(mountPoint))
      if (entry.path().filename() != "app") return 11;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 12;
  });
}

TEST_F(Backend, FailedCopiesLeaveTheInstalledProgramIntact) {
  WriteAll(dir / "new", ProbeBytes(1 << 20));  // larger than the file system
  fs::create_directory(dir / "mnt");
  const std::string source = (dir / "new").string(), dest = (dir / "mnt" / "app").string();
  struct Case {
    const char* name;
    std::function<bool()> prepare;
    int error;
  } cases[] = {
      {"disk full", [] { return true; }, ENOSPC},
      {"read-only folder",
       [&] { return mount(nullptr, (dir / "mnt").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; },
       EROFS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = InSmallFileSystem(dir / "mnt", ProbeBytes(), {source, dest, "x"}, c.prepare);
    if (outcome.status == 77) GTEST_SKIP() << "no private mounts here";
    // The old program ran, with the marker, after the copy-error box.
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err,
              "quennel\n" + std::string(std::strerror(c.error)) + "\nCopy " + source + ", " + dest + "\n");
    const ProbeReport probe = Probe();
    EXPECT_EQ(probe.size, static_cast<long long>(ProbeBytes().size()));
    EXPECT_EQ(probe.args, (Args{"x", "(~!~)"}));
  }
}

TEST_F(Backend, KilledInTheMiddleOfACopy) {
  const std::string newBits = ProbeBytes(size_t{192} << 20);
  WriteAll(dir / "new", newBits);
  WriteAll(dir / "app", ProbeBytes());
  SetTime(dir / "app", 1000);
  const Args args = {(dir / "new").string(), (dir / "app").string()};

  const pid_t pid = fork();
  if (pid == 0) {
    close_range(3, ~0U, 0);
    unsetenv("DISPLAY");
    _exit(ExecQuennel(args));
  }
  // Kill it as soon as its staging file shows up.
  bool seen = false;
  for (int i = 0; i < 20000 && !seen; ++i) {
    seen = Leftovers(dir.path) > 0;
    if (!seen) usleep(100);
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(seen) << "the copy never started";
  ASSERT_TRUE(WIFSIGNALED(status)) << "the copy ended before the kill";
  EXPECT_EQ(ReadAll(dir / "app"), ProbeBytes()) << "a killed run must leave the old program";
  EXPECT_EQ(Leftovers(dir.path), 1);

  // The next start installs the new version and clears what the killed run left.
  const Outcome outcome = Run(args);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(ReadAll(dir / "app") == newBits);
  EXPECT_EQ(Leftovers(dir.path), 0);
}

TEST_F(Backend, StagingFileOfALiveRunIsLeftAlone) {
  WriteAll(dir / "new", ProbeBytes(10));
  WriteAll(dir / "app", ProbeBytes());
  SetTime(dir / "app", 1000);
  const fs::path live = dir / ".app.quennel~LIVE01";
  const fs::path stale = dir / ".app.quennel~DEAD01";
  const fs::path other = dir / ".other.quennel~DEAD02";
  WriteAll(live, "partial");
  WriteAll(stale, "partial");
  WriteAll(other, "partial");
  const int lock = open(live.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);

  const Outcome outcome = Run({(dir / "new").string(), (dir / "app").string()});
  close(lock);

  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadAll(dir / "app"), ProbeBytes(10));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(other));
}

}  // namespace
