/// The real binary under the conditions it meets out there: file systems
/// with coarse clocks, dates far from 1970, a standard error nobody reads,
/// names as long as a folder entry may be, a full standard output.

#include <fcntl.h>
#include <climits>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/posix/PosixFiles.h"
#include "tests/posix/RealRun.h"

namespace {

using namespace quennel::testing::real;
namespace fs = std::filesystem;

constexpr int kMountsRefused = 77;

/// Runs `body` in a child with its own mounts, once `mountCommand` (a shell
/// command) has succeeded in them; kMountsRefused where that is not allowed.
Outcome WithOwnMount(const std::string& mountCommand, const std::function<int()>& body) {
  return InChild([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return kMountsRefused;
    if (std::system((mountCommand + " >&2").c_str()) != 0) return kMountsRefused;
    return body();
  });
}

/// The command that mounts a fresh image formatted by `mkfs`, made in `dir`
/// (sparse; XFS takes no less than 300 MiB); empty where it cannot be made.
std::string ImageMount(const fs::path& dir, const std::string& mkfs) {
  const std::string image = (dir / "fs.img").string();
  std::ofstream(image).close();
  fs::resize_file(image, 320 << 20);
  if (std::system((mkfs + " " + image + " >/dev/null 2>&1").c_str()) != 0) return "";
  return "mount -o loop " + image + " ";
}

/// One install from `shared` into `folder`, then one more start: the first
/// installs, the second finds the installed copy as new as the source
/// (marker, no copy). Records the installed copy's stored time into
/// `dir/stored`, what the program saw into `dir/first.out`, `dir/second.out`.
int InstallTwice(const fs::path& dir, const fs::path& shared, const fs::path& folder, timespec sourceTime,
                 timespec installedTime) {
  WriteAll(shared / "new", ProbeBytes(32));
  WriteAll(folder / "app", ProbeBytes());
  const timespec source[2] = {sourceTime, sourceTime}, installed[2] = {installedTime, installedTime};
  if (utimensat(AT_FDCWD, (shared / "new").c_str(), source, 0) != 0 ||
      utimensat(AT_FDCWD, (folder / "app").c_str(), installed, 0) != 0)
    return 70;
  const Args args = {(shared / "new").string(), (folder / "app").string()};
  Wait(Spawn(args, dir / "first.out"));
  const timespec stored = TimeOf(folder / "app");
  std::ofstream(dir / "stored") << stored.tv_sec << " " << stored.tv_nsec;
  Wait(Spawn(args, dir / "second.out"));
  return 0;
}

struct TimeCase {
  const char* name;
  const char* mkfs;  // formats the image the installed copy lives on; nullptr: tmpfs
  timespec source, installed;
  bool installs;
  timespec stored;  // what that file system keeps: the smallest later time it can
  bool clones = false;  // the source is on the image too, which clones files (a reflink)
};

void PrintTo(const TimeCase& c, std::ostream* out) { *out << c.name; }

class FileTimes : public ::testing::TestWithParam<TimeCase> {};

/// One version is installed once, whatever times the installed copy's file
/// system keeps: coarse clocks on a loop-mounted image (the source keeping
/// nanoseconds), and on tmpfs, for both, dates a count of nanoseconds in 64
/// bits cannot hold. On XFS the system clones the whole new version at once.
TEST_P(FileTimes, OneInstallPerVersion) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (CI runs as root) to mount a file system";
  const TimeCase& c = GetParam();
  TempDir dir;
  fs::create_directory(dir / "mnt");
  std::string mount = "mount -t tmpfs tmpfs ";
  if (c.mkfs) mount = ImageMount(dir.path, c.mkfs);
  if (mount.empty()) GTEST_SKIP() << "cannot format the image: " << c.mkfs;
  const fs::path sourceFolder = c.mkfs && !c.clones ? dir.path : dir / "mnt";

  const Outcome outcome = WithOwnMount(mount + (dir / "mnt").string(), [&] {
    return InstallTwice(dir.path, sourceFolder, dir / "mnt", c.source, c.installed);
  });

  if (outcome.status == kMountsRefused) GTEST_SKIP() << "mounts refused here: " << outcome.err;
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadProbe(dir / "first.out").args, c.installs ? Args{} : Args{"(~!~)"});
  EXPECT_EQ(ReadAll(dir / "stored"), std::to_string(c.stored.tv_sec) + " " + std::to_string(c.stored.tv_nsec));
  EXPECT_EQ(ReadProbe(dir / "second.out").args, Args{"(~!~)"}) << "installed again on the next start";
}

constexpr time_t k1601 = -11'644'473'600, k1677 = -9'246'096'000, k2000 = 946'684'800, k2300 = 10'413'792'000;
const TimeCase kTimes[] = {
    {"Ext3SmallInodesKeepSeconds", "mkfs.ext3 -q -F -I 128", {1'700'000'000, 500'000'000}, {400'000'000, 0}, true,
     {1'700'000'001, 0}},
    {"FatKeepsTwoSeconds", "mkfs.vfat", {1'700'000'001, 250'000'000}, {400'000'000, 0}, true, {1'700'000'002, 0}},
    {"XfsClones", "mkfs.xfs -q -f", {1'700'000'000, 123}, {400'000'000, 0}, true, {1'700'000'000, 123}, true},
    // Ahead of this machine's clock: not due; installed ahead: it yields.
    {"Year2300NotDueYet", nullptr, {k2300, 0}, {k2000, 0}, false, {k2000, 0}},
    {"InstalledDated2300YieldsTo2000", nullptr, {k2000, 0}, {k2300, 0}, true, {k2000, 0}},
    {"Year1677Over1601", nullptr, {k1677, 0}, {k1601, 0}, true, {k1677, 0}},
    {"Year1601Over1677", nullptr, {k1601, 0}, {k1677, 0}, false, {k1677, 0}},
};
INSTANTIATE_TEST_SUITE_P(FileSystems, FileTimes, ::testing::ValuesIn(kTimes),
                         [](const auto& info) { return std::string(info.param.name); });

/// Where the file system clones (XFS), the first system copy takes the
/// whole new version at once, and the next one finds its end.
TEST(Clones, TheWholeFileAtOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (CI runs as root) to mount a file system";
  TempDir dir;
  fs::create_directory(dir / "mnt");
  const std::string mount = ImageMount(dir.path, "mkfs.xfs -q -f");
  if (mount.empty()) GTEST_SKIP() << "cannot make an XFS image (Debian: xfsprogs)";
  const std::string bits = ProbeBytes(size_t{3} << 20);

  const Outcome outcome = WithOwnMount(mount + (dir / "mnt").string(), [&] {
    WriteAll(dir / "mnt/new", bits);
    quennel::PosixFiles files;
    const auto source = files.OpenSource((dir / "mnt/new").string());
    const auto file = files.Resolve((dir / "mnt/app").string(), false)->Create("copy");
    const auto first = file->CopyFrom(*source, 1 << 20), second = file->CopyFrom(*source, 1 << 20);
    return first == bits.size() && second == 0u && ReadAll(dir / "mnt/copy") == bits ? 0 : 1;
  });

  if (outcome.status == kMountsRefused) GTEST_SKIP() << "mounts refused here: " << outcome.err;
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

/// Standard error is a pipe whose reader is gone when the copy-error box
/// is written: the program still starts, with SIGPIPE as Quennel found it.
TEST(BrokenStandardError, TheProgramStillStarts) {
  for (const bool inheritedIgnored : {false, true}) {
    SCOPED_TRACE(inheritedIgnored ? "SIGPIPE ignored by the parent" : "SIGPIPE at its default");
    TempDir dir;
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    ASSERT_EQ(mkfifo((dir / "new").c_str(), 0644), 0);  // a source that cannot be copied
    WriteAll(dir / "app", ProbeBytes());
    SetTime(dir / "app", 1000);
    SetTime(dir / "new", 2000);

    const Outcome outcome = InChild([&] {
      int ends[2];
      if (pipe(ends) != 0) return 71;
      close(ends[0]);
      dup2(ends[1], 2);
      signal(SIGPIPE, inheritedIgnored ? SIG_IGN : SIG_DFL);
      return ExecQuennel({(dir / "new").string(), (dir / "app").string(), "x"});
    });

    EXPECT_EQ(outcome.status, 0);
    const ProbeReport probe = ReadProbe(dir / "probe.out");
    EXPECT_EQ(probe.args, (Args{"x", "(~!~)"}));
    EXPECT_EQ(probe.sigpipe, inheritedIgnored ? "ignored" : "default");
  }
}

/// Names as long as a folder entry may be, and a path a few bytes short of
/// PATH_MAX: its staging file's full path would be too long, but Quennel
/// works from the folder and never spells it out.
TEST(LongNames, AnyNameAndPathTheSystemTakesIsUpdated) {
  std::string cjk;
  for (int i = 0; i < 85; ++i) cjk += "中";  // 255 bytes
  for (const std::string& name : {std::string(250, 'n'), std::string(255, 'n'), cjk, std::string()}) {
    TempDir dir;
    fs::path app = dir / name;
    if (name.empty()) {  // the long path
      fs::path folder = dir.path;
      while (folder.string().size() < PATH_MAX - 300) folder /= std::string(200, 'd');
      fs::create_directories(folder);
      app = folder / std::string(PATH_MAX - 10 - folder.string().size() - 1, 'a');
      ASSERT_EQ(app.string().size(), static_cast<size_t>(PATH_MAX - 10));
    }
    SCOPED_TRACE(app.string().size());
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    WriteAll(dir / "new", ProbeBytes(8));
    WriteAll(app, ProbeBytes());
    SetTime(app, 1000);
    SetTime(dir / "new", 2000);

    const Outcome outcome = InChild([&] { return ExecQuennel({(dir / "new").string(), app.string()}); });

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(ReadAll(app), ProbeBytes(8));
    EXPECT_EQ(ReadProbe(dir / "probe.out").args, Args{});
    const auto entries = std::distance(fs::directory_iterator(app.parent_path()), fs::directory_iterator());
    EXPECT_EQ(entries, name.empty() ? 1 : 3) << "a staging file was left";
  }
}

/// The version goes to standard output; one that cannot be written there
/// (a full disk) is a failure.
TEST(Version, WrittenOrAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  for (const bool full : {false, true}) {
    const Outcome outcome = InChild([&] {
      dup2(full ? open("/dev/full", O_WRONLY) : 2, 1);
      return ExecQuennel({"--version"});
    });
    EXPECT_EQ(outcome.status, full ? 1 : 0);
    if (!full) {
      EXPECT_EQ(outcome.err, "Quennel 5.00.0011\n");
    }
  }
}

}  // namespace
