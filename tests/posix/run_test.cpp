/// One whole run of the real program on real files, as a user starts it,
/// headless, with a probe program standing in for the installed one.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

class WholeRun : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    unsetenv("PROBE_STATUS");
  }
  Outcome Run(const Args& args) {
    return InChild([&] { return ExecQuennel(args); });
  }
  ProbeReport Probe() { return ReadProbe(dir / "probe.out"); }
  /// Quennel's own files left in the folder, the lock file's included.
  static int Leftovers(const fs::path& folder) { return static_cast<int>(OwnFilesIn(folder).size()); }
  TempDir dir;
};

/// The new version goes in whole, with its time to the nanosecond and the
/// installed copy's mode, and the program takes Quennel's place (same
/// process, its exit status, no descriptor of ours), its arguments byte
/// for byte.
TEST_F(WholeRun, InstallsAndStartsWithTheArgumentsByteForByte) {
  const Args awkward = {"",  " ",    "a b",       "\"",        "\\",     "\\\\\"", "end\\",
                        "tab\tin", "new\nline", "é ü 中", "$HOME", "*",      "; ls",   "(~!~)"};
  WriteAll(dir / "new", ProbeBytes(4096), 0755);
  WriteAll(dir / "app", ProbeBytes(), 0750);
  SetTime(dir / "app", 1000);
  SetTime(dir / "new", 2000, 123456789);
  setenv("PROBE_STATUS", "7", 1);
  Args args = {(dir / "new").string(), (dir / "app").string()};
  args.insert(args.end(), awkward.begin(), awkward.end());

  const Outcome outcome = Run(args);

  EXPECT_EQ(outcome.status, 7);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(ReadAll(dir / "app"), ProbeBytes(4096));
  const timespec installed = TimeOf(dir / "app");
  EXPECT_EQ(installed.tv_sec, 2000);
  EXPECT_EQ(installed.tv_nsec, 123456789);
  EXPECT_EQ(fs::status(dir / "app").permissions(), fs::perms(0750));
  const ProbeReport probe = Probe();
  EXPECT_EQ(probe.size, static_cast<long long>(ProbeBytes(4096).size()));
  EXPECT_EQ(probe.args, awkward);
  EXPECT_EQ(probe.pid, outcome.pid);
  EXPECT_TRUE(probe.fds.empty()) << probe.fds.front();
  EXPECT_EQ(Leftovers(dir.path), 0);
}

/// A program that cannot be started is reported (status 1, the reason and
/// its path) and left as it was; a folder in its place first fails the copy.
TEST_F(WholeRun, UnstartableProgramIsReported) {
  struct Case {
    const char* name;
    std::function<void()> make;  // what stands where the program should
    int error;
    bool newer;  // a new version waits to be copied
  } cases[] = {
      {"not executable", [&] { WriteAll(dir / "app", "#!/bin/sh\nexit 0\n", 0644); }, EACCES, false},
      {"missing", [] {}, ENOENT, false},
      {"a folder", [&] { fs::create_directory(dir / "app"); }, EISDIR, true},
  };
  const std::string source = (dir / "new").string(), dest = (dir / "app").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "app");
    fs::remove(dir / "new");
    if (c.newer) WriteAll(dir / "new", ProbeBytes());
    c.make();
    const auto before = fs::symlink_status(dir / "app").type();

    const Outcome outcome = Run({source, dest});

    const std::string error = std::strerror(c.error);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, (c.newer ? "quennel\n" + error + "\nCopy " + source + ", " + dest + "\n" : "") +
                               "Quennel\nErreur d'exécution\n" + error + "\n\"" + dest + "\"\n");
    EXPECT_EQ(fs::symlink_status(dir / "app").type(), before);
    EXPECT_EQ(Leftovers(dir.path), 0);
    EXPECT_FALSE(Probe().ran);
  }
}

TEST_F(WholeRun, UsageWithoutADisplayGoesToStandardError) {
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

/// A copy that fails on the installed program's file system (full, or
/// read-only) leaves that program exactly as it was and nothing beside it;
/// it starts with the marker after the copy-error box. On a tiny file
/// system in a mount namespace of the run's own.
TEST_F(WholeRun, FailedCopiesLeaveTheInstalledProgramIntact) {
  WriteAll(dir / "new", ProbeBytes(1 << 20));  // larger than the file system
  const fs::path mnt = dir / "mnt";
  fs::create_directory(mnt);
  const std::string source = (dir / "new").string(), dest = (mnt / "app").string();
  for (const bool full : {true, false}) {
    SCOPED_TRACE(full ? "disk full" : "read-only");
    const Outcome outcome = InChild([&]() -> int {
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        return 77;
      WriteAll(dest, ProbeBytes());
      SetTime(dest, 1000);
      if (!full && mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 76;
      const pid_t run = fork();
      if (run == 0) _exit(ExecQuennel({source, dest, "x"}));
      const int status = Wait(run);
      return ReadAll(dest) == ProbeBytes() && OwnFilesIn(mnt).empty() ? status : 10;
    });
    if (outcome.status == 77) GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "quennel\n" + std::string(std::strerror(full ? ENOSPC : EROFS)) + "\nCopy " + source +
                               ", " + dest + "\n");
    EXPECT_EQ(Probe().args, (Args{"x", "(~!~)"}));
  }
}

/// A run killed mid-copy (slowed by a preloaded library, so there is a
/// middle) leaves the old program, its staging file and its lock file; the
/// system let the lock go, so the next run takes it and installs, and
/// leaves that staging file until it is ten minutes old.
TEST_F(WholeRun, KilledInTheMiddleOfACopy) {
  WriteAll(dir / "new", ProbeBytes(1 << 20));
  WriteAll(dir / "app", ProbeBytes());
  SetTime(dir / "app", 1000);
  const Args args = {(dir / "new").string(), (dir / "app").string()};

  const pid_t run = Spawn(args, dir / "probe.out", "/dev/null", SLOWCOPY_LIBRARY);
  for (int i = 0; i < 10'000 && Leftovers(dir.path) < 2; ++i) usleep(1000);  // its lock, then its copy
  kill(run, SIGKILL);
  ASSERT_EQ(Wait(run), 128 + SIGKILL) << "the run ended before its staging file showed up";
  EXPECT_EQ(ReadAll(dir / "app"), ProbeBytes()) << "a killed run must leave the old program";
  EXPECT_EQ(Leftovers(dir.path), 2) << "its staging file and its lock file";

  const Outcome outcome = Run(args);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(ReadAll(dir / "app") == ProbeBytes(1 << 20));
  // The lock file goes; a staging file under ten minutes old may be a live run's.
  EXPECT_FALSE(fs::exists(dir / ".app.quennel~lock"));
  EXPECT_EQ(Leftovers(dir.path), 1);
}

/// Starts that coincide: each one starts the program, a single one copies
/// and installs, and the program never meets a file still being written.
TEST_F(WholeRun, SimultaneousStartsInstallOnceAndAllStart) {
  constexpr int kRuns = 4;
  const std::string newBits = ProbeBytes(size_t{48} << 20);
  WriteAll(dir / "new", newBits);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    WriteAll(dir / "app", ProbeBytes());
    SetTime(dir / "app", 1000);
    std::vector<pid_t> runs;
    for (int k = 0; k < kRuns; ++k)
      runs.push_back(Spawn({(dir / "new").string(), (dir / "app").string(), "x"},
                           dir / ("probe." + std::to_string(k)), dir / ("err." + std::to_string(k))));
    int installs = 0;
    for (int k = 0; k < kRuns; ++k) {
      EXPECT_EQ(Wait(runs[k]), 0) << ReadAll(dir / ("err." + std::to_string(k)));
      const ProbeReport probe = ReadProbe(dir / ("probe." + std::to_string(k)));
      EXPECT_TRUE(probe.ran) << "run " << k << " did not start the program";
      EXPECT_EQ(probe.size, static_cast<long long>(newBits.size()));
      installs += probe.args == Args{"x"};
      if (probe.args != Args{"x"}) {
        EXPECT_EQ(probe.args, (Args{"x", "(~!~)"}));
      }
    }
    EXPECT_EQ(installs, 1);
    EXPECT_EQ(Leftovers(dir.path), 0);
  }
}

/// A new version published in place at a steady pace (64 KiB every 50 ms
/// over the old one, given its final time after each write as `cp -p`
/// would leave it) while starts come one after another: the installed
/// program is only ever the old version or the whole new one, and the new
/// one goes in once it has stood still.
TEST_F(WholeRun, APublicationInPlaceGoesInOnlyWhole) {
  const std::string oldBits = ReadAll(PROBE_BINARY) + std::string(1 << 20, 'O'), newBits = ProbeBytes(17 << 16);
  for (const char* name : {"new", "app"}) WriteAll(dir / name, oldBits), SetTime(dir / name, 1000);
  const pid_t publisher = fork();
  if (publisher == 0) {
    const int fd = open((dir / "new").c_str(), O_WRONLY);
    const timespec final[2] = {{2000, 0}, {2000, 0}};
    for (size_t at = 0; at < newBits.size(); at += 65536) {
      usleep(50'000);
      const bool written = write(fd, newBits.data() + at, std::min<size_t>(65536, newBits.size() - at)) > 0;
      if (!written || futimens(fd, final) != 0) _exit(1);
    }
    _exit(0);
  }
  // A start every 100 ms while it is published, and one more after; the
  // installed program looked at every 10 ms until they have all ended.
  int publisherStatus = -1, starts = 0, mixed = 0;
  bool lastStarted = false;
  std::vector<pid_t> running;
  for (int tick = 0;; ++tick) {
    const std::string installed = ReadAll(dir / "app");
    mixed += installed != oldBits && installed != newBits;
    const bool publishing = publisherStatus < 0 && waitpid(publisher, &publisherStatus, WNOHANG) == 0;
    if (publishing ? tick % 10 == 0 : !std::exchange(lastStarted, true)) {
      const std::string k = std::to_string(starts++);
      running.push_back(
          Spawn({(dir / "new").string(), (dir / "app").string()}, dir / ("probe." + k), dir / ("err." + k)));
    }
    std::erase_if(running, [](pid_t start) { return waitpid(start, nullptr, WNOHANG) == start; });
    if (!publishing && running.empty()) break;
    usleep(10'000);
  }
  EXPECT_EQ(publisherStatus, 0);
  EXPECT_EQ(mixed, 0);
  EXPECT_TRUE(ReadAll(dir / "app") == newBits);
  for (int k = 0; k < starts; ++k) {
    const ProbeReport probe = ReadProbe(dir / ("probe." + std::to_string(k)));
    EXPECT_EQ(ReadAll(dir / ("err." + std::to_string(k))), "");
    EXPECT_EQ(probe.size, static_cast<long long>((probe.args.empty() ? newBits : oldBits).size())) << k;
  }
}

/// An installed program reached through a link: the link stays and the file
/// it leads to is replaced; a dangling link gets the copy-error box and
/// nothing is created where it points.
TEST_F(WholeRun, LinkedInstalls) {
  fs::create_directories(dir / "opt" / "prog-2.1");
  fs::create_directories(dir / "bin");
  const fs::path real = dir / "opt" / "prog-2.1" / "prog";
  const fs::path link = dir / "bin" / "prog";
  WriteAll(dir / "new", ProbeBytes(10));
  WriteAll(real, ProbeBytes());
  SetTime(real, 1000);
  fs::create_symlink("../opt/prog-2.1/prog", link);

  Outcome outcome = Run({(dir / "new").string(), link.string(), "x"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "../opt/prog-2.1/prog");
  EXPECT_EQ(ReadAll(real), ProbeBytes(10));
  EXPECT_EQ(Probe().args, Args{"x"});
  EXPECT_EQ(Leftovers(dir / "bin") + Leftovers(real.parent_path()), 0);

  // The next start finds the link's target as new as the source.
  outcome = Run({(dir / "new").string(), link.string(), "x"});
  EXPECT_EQ(Probe().args, (Args{"x", "(~!~)"}));

  const fs::path dangling = dir / "bin" / "gone";
  fs::create_symlink(dir / "nowhere" / "prog", dangling);
  fs::create_directory(dir / "nowhere");
  outcome = Run({(dir / "new").string(), dangling.string(), "x"});
  EXPECT_NE(outcome.err.find(std::strerror(ENOENT) + std::string("\nCopy ")), std::string::npos) << outcome.err;
  EXPECT_TRUE(fs::is_empty(dir / "nowhere"));
  EXPECT_TRUE(fs::is_symlink(dangling));
}

/// Where the binary's install prefix lists trusted keys (etc/quennel beside
/// its bin), only the bytes signed with one go in, checked as the system
/// copied them: one byte changed after signing, and the old program starts
/// (silently: a version just written may still be on its way), and the
/// signature goes beside the program.
TEST_F(WholeRun, OnlySignedBytesGoInWhereKeysAreListed) {
  const fs::path bin = dir / "prefix/bin", etc = dir / "prefix/etc/quennel", share = dir / "share";
  for (const fs::path& folder : {bin, etc, share}) fs::create_directories(folder);
  chmod(etc.c_str(), 0755);  // only its owner may change the list
  fs::copy_file(QUENNEL_BINARY, bin / "quennel");
  const std::string key = (dir / "key").string(), prog = (share / "prog").string();
  ASSERT_EQ(std::system(("minisign -G -W -p " + key + ".pub -s " + key + " >/dev/null").c_str()), 0)
      << "minisign could not make a key (Debian: minisign)";
  WriteAll(etc / "trusted-keys", ReadAll(key + ".pub"), 0644);
  for (const bool changed : {true, false}) {
    SCOPED_TRACE(changed ? "a byte changed after signing" : "as signed");
    std::string bits = ProbeBytes(16);
    WriteAll(prog, bits);
    ASSERT_EQ(std::system(("minisign -S -s " + key + " -m " + prog + " >/dev/null").c_str()), 0);
    if (changed) bits[100] ^= 1;
    WriteAll(prog, bits);
    WriteAll(dir / "app", ProbeBytes());
    SetTime(dir / "app", 1000);
    SetTime(prog, 2000);

    const Outcome outcome =
        InChild([&] { return ExecQuennel({prog, (dir / "app").string()}, (bin / "quennel").c_str()); });

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(ReadAll(dir / "app") == (changed ? ProbeBytes() : bits));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(Probe().args, changed ? Args{"(~!~)"} : Args{});
    EXPECT_EQ(fs::exists(dir / "app.minisig"), !changed);
    EXPECT_EQ(Leftovers(dir.path), 0);
  }
}

enum class LogService { Reading, Stalled, Gone };

/// Runs Quennel where /dev holds nothing but `service`'s socket (status 77:
/// no private mount namespace here); what it received goes to `received`,
/// a line "<PRI>message" for each datagram whose syslog header is right.
Outcome RunWithLog(const Args& args, LogService service, const fs::path& received) {
  return InChild([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0)
      return 77;
    const sockaddr_un address{AF_UNIX, "/dev/log"};
    const auto* to = reinterpret_cast<const sockaddr*>(&address);
    const int log = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (service != LogService::Gone) bind(log, to, sizeof address);
    // Stalled: senders of our own fill its queue until a new one is refused.
    for (int sent = 1; service == LogService::Stalled && sent > 0;) {
      const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      for (sent = 0; sendto(sender, "x", 1, 0, to, sizeof address) == 1;) ++sent;
    }
    const pid_t quennel = fork();
    if (quennel == 0) {
      alarm(30);  // a start held up by the log ends here, and fails the test
      _exit(ExecQuennel(args));
    }
    const int status = Wait(quennel);
    static const std::regex header(R"((<\d+>)[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d quennel\[\d+\]: )");
    std::ofstream out(received);
    char datagram[65536];
    for (ssize_t n; service == LogService::Reading && (n = recv(log, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
      out << std::regex_replace(std::string(datagram, n), header, "$1",
                                std::regex_constants::match_continuous | std::regex_constants::format_first_only)
          << '\n';
    return status;
  });
}

/// With a log socket of the test's own at /dev/log: an install and a usage
/// error each leave their line, with the level syslog(3) would give it; a
/// log that never reads, or none, holds no start up.
TEST_F(WholeRun, SystemLogGetsEachRunsLineAndHoldsNothingUp) {
  const std::string source = (dir / "new").string(), dest = (dir / "app").string(),
                    user = "utilisateur " + std::to_string(getuid());
  const struct { const char* name; LogService service; Args args; int status; std::string log; } cases[] = {
      {"installed", LogService::Reading, {source, dest}, 0,
       "<14>installé : destination \"" + dest + "\", source \"" + source + "\", " +
           std::to_string(ProbeBytes(9).size()) + " octets, modifié le 1970-01-01 00:33:20.000000005 UTC, " + user +
           "\n"},
      {"usage", LogService::Reading, {source}, 2,
       "<12>syntaxe : " + user + " ; ligne de commande : \"" + source + "\"\n"},
      {"log stalled", LogService::Stalled, {source, dest}, 0, ""},
      {"no log", LogService::Gone, {source, dest}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "probe.out");
    WriteAll(dir / "new", ProbeBytes(9));
    SetTime(dir / "new", 2000, 5);
    WriteAll(dir / "app", ProbeBytes());
    SetTime(dir / "app", 1000);

    const Outcome outcome = RunWithLog(c.args, c.service, dir / "log");

    if (outcome.status == 77) GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(ReadAll(dir / "log"), c.log);
    EXPECT_EQ(Probe().ran, c.status == 0);  // the program started
  }
}

}  // namespace
