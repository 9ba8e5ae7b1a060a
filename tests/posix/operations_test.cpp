/// The backend's operations one at a time, on real files: what only a real
/// file system shows (links and pipes at a name, exclusive creation, open
/// descriptors, locks between open files, nanoseconds). The rules that use
/// them are tried on the fake.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "platform/posix/PosixFiles.h"
#include "platform/posix/Trust.h"
#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel;
using namespace quennel::testing::real;
namespace fs = std::filesystem;

/// How `call` failed: the failure's kind and the system's text; "" when it did not.
std::string FailureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ExistsError& error) {
    return std::string("exists: ") + error.what();
  } catch (const MissingError& error) {
    return std::string("missing: ") + error.what();
  } catch (const BusyError& error) {
    return std::string("busy: ") + error.what();
  } catch (const PlatformError& error) {
    return error.what();
  }
  return "";
}

std::string Text(int error) { return std::strerror(error); }

/// The exit status of a child that started `program`; 3 where the system
/// refused it as open for writing (ETXTBSY).
int StartIn(const fs::path& program) {
  const pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(errno == ETXTBSY ? 3 : 4);
  }
  return Wait(child);
}

class Operations : public ::testing::Test {
protected:
  void SetUp() override {
    WriteAll(app, "old", 0755);
    WriteAll(precious, "must stay untouched", 0600);
  }
  std::unique_ptr<Place> ProgramPlace() { return files.Resolve(app.string(), false); }

  TempDir dir;
  PosixFiles files;
  const fs::path app = dir / "app", precious = dir / "precious";
};

TEST_F(Operations, CreateIsExclusiveAndNeverThroughALink) {
  const auto place = ProgramPlace();
  const std::function<void(const fs::path&)> plants[] = {
      [](const fs::path& at) { WriteAll(at, "someone's"); },
      [&](const fs::path& at) { fs::create_symlink(dir / "planted", at); },
      [](const fs::path& at) { mkfifo(at.c_str(), 0666); },
  };
  for (const auto& plant : plants) {
    fs::remove(dir / "new");
    plant(dir / "new");
    const std::string before = Looks(dir / "new");
    EXPECT_EQ(FailureOf([&] { place->Create("new"); }), "exists: " + Text(EEXIST));
    EXPECT_EQ(Looks(dir / "new"), before);
    EXPECT_FALSE(fs::exists(dir / "planted"));
  }
  // A free name: the runner's alone, whatever the umask.
  const mode_t mask = umask(0);
  const auto file = place->Create("free");
  umask(mask);
  EXPECT_EQ(file->Name(), "free");
  EXPECT_EQ(fs::status(dir / "free").permissions(), fs::perms(0600));
  // Kept beside the program: readable by all, whatever the umask.
  file->TakeCompanionIdentity();
  EXPECT_EQ(fs::status(dir / "free").permissions(), fs::perms(0644));
}

/// Copied by the system, read back, given the program's identity and a
/// time to the nanosecond, closed for writing (only then can it be
/// started), renamed over the program; every way of asking then sees one
/// file, with one change time.
TEST_F(Operations, ANewFileGoesInWhole) {
  setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
  const std::string bits = ProbeBytes(size_t{20} << 20);
  WriteAll(dir / "source", bits, 0644);
  const auto place = ProgramPlace();
  const auto source = files.OpenSource((dir / "source").string());
  const auto file = place->Create(".app.new");
  std::uint64_t copied = 0;
  for (std::optional<std::uint64_t> n; (n = file->CopyFrom(*source, 8 << 20)) && *n > 0;) copied += *n;
  unsigned char buffer[4096];
  for (std::size_t n; (n = source->Read(buffer, sizeof buffer)) > 0; copied += n) file->Write(buffer, n);
  std::string back(bits.size(), '\0');
  EXPECT_EQ(file->ReadAt(0, reinterpret_cast<unsigned char*>(back.data()), back.size()), bits.size());

  file->TakeProgramIdentity(source->Status());
  EXPECT_EQ(file->SetTime({2000, 123456789}), (FileStamp{2000, 123456789}));
  file->Flush();
  EXPECT_EQ(StartIn(dir / ".app.new"), 3) << "started while open for writing";
  file->CloseForWriting();
  EXPECT_EQ(StartIn(dir / ".app.new"), 0);
  file->MoveTo("app", true);
  file->Discard();

  EXPECT_EQ(copied, bits.size());
  EXPECT_TRUE(back == bits);
  EXPECT_TRUE(ReadAll(app) == bits);
  EXPECT_EQ(fs::status(app).permissions(), fs::perms(0755));
  const FileStatus stat = files.Stat(app.string()), look = *place->Look("app");
  for (const FileStatus& other : {files.StatFresh(app.string()), files.OpenSource(app.string())->Status(), look,
                                  file->Status()}) {
    EXPECT_EQ(other.id, stat.id);
    EXPECT_EQ(other.changed, stat.changed);
    EXPECT_EQ(other.modified, (FileStamp{2000, 123456789}));
    EXPECT_EQ(other.size, bits.size());
  }
  EXPECT_EQ(look.owner, std::to_string(geteuid()));
  EXPECT_EQ(place->SetTime("app", {-5, 7}), (FileStamp{-5, 7}));
  EXPECT_EQ(OwnFilesIn(dir.path), std::vector<std::string>{});
}

/// Another file or a link put in a new file's name is never closed as
/// ours nor renamed over the program, and only the name goes with it.
TEST_F(Operations, ANewFileWhoseNameWasTakenGoesNowhere) {
  const auto place = ProgramPlace();
  for (const bool atTheRename : {false, true}) {
    for (const bool byALink : {false, true}) {
      SCOPED_TRACE(std::string(atTheRename ? "at the rename, " : "at the close, ") + (byALink ? "a link" : "a file"));
      const auto file = place->Create(".app.new");
      file->Write(reinterpret_cast<const unsigned char*>("new"), 3);
      if (atTheRename) file->CloseForWriting();
      fs::remove(dir / ".app.new");
      if (byALink) fs::create_symlink(precious, dir / ".app.new");
      else WriteAll(dir / ".app.new", "someone's");

      EXPECT_EQ(FailureOf([&] { atTheRename ? file->MoveTo("app", true) : file->CloseForWriting(); }),
                texts::kStagingReplaced);
      file->Discard();

      EXPECT_EQ(ReadAll(app), "old");
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir / ".app.new")));
      EXPECT_EQ(ReadAll(precious), "must stay untouched");
    }
  }
  const auto file = place->Create(".app.new");
  EXPECT_EQ(FailureOf([&] { file->MoveTo("app", false); }), "exists: " + Text(EEXIST));
  fs::create_directory(dir / "folder");
  EXPECT_EQ(FailureOf([&] { file->MoveTo("folder", true); }), Text(EISDIR));
  EXPECT_EQ(ReadAll(app), "old");
}

/// Leftovers found by List go only while their name still leads to them.
TEST_F(Operations, RemoveTakesOnlyWhatWasFound) {
  WriteAll(dir / ".app.q1", "a");
  WriteAll(dir / ".app.q2", "b");
  fs::create_symlink(precious, dir / ".app.q3");
  const auto place = ProgramPlace();
  std::vector<FoundFile> found = place->List(".app.q");
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].status.owner, std::to_string(geteuid()));
  EXPECT_EQ(found[2].status.kind, FileKind::Link);
  WriteAll(dir / "other", "another file under that name");
  fs::rename(dir / "other", dir / ".app.q2");

  for (const FoundFile& file : found) place->Remove(file);

  EXPECT_EQ(OwnFilesIn(dir.path), std::vector<std::string>{});
  EXPECT_EQ(ReadAll(dir / ".app.q2"), "another file under that name");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / ".app.q1")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / ".app.q3")));
  EXPECT_EQ(ReadAll(precious), "must stay untouched");
}

/// Each way of reading takes a regular file only, never blocks on a pipe,
/// and the guarded ones never go through a link at the last name.
TEST_F(Operations, ReadingTakesRegularFilesOnly) {
  mkfifo((dir / "pipe").c_str(), 0666);
  fs::create_directory(dir / "folder");
  WriteAll(dir / "big", "12345");
  fs::create_symlink("app", dir / "link");
  const auto place = ProgramPlace();
  const std::function<void(const std::string&)> reads[] = {
      [&](const std::string& name) { files.OpenSource((dir / name).string()); },
      [&](const std::string& name) { files.ReadSmall((dir / name).string(), 4); },
      [&](const std::string& name) { place->Open(name); },
      [&](const std::string& name) { files.ReadGuarded((dir / name).string(), 4); },
  };
  const std::string none, missing = "missing: " + Text(ENOENT);
  const struct {
    const char* name;
    std::string failures[4];  // OpenSource, ReadSmall, Place::Open, ReadGuarded
  } cases[] = {
      {"pipe", {Text(EINVAL), Text(EINVAL), Text(EINVAL), Text(EINVAL)}},
      {"folder", {Text(EISDIR), Text(EISDIR), Text(EISDIR), Text(EISDIR)}},
      {"none", {missing, missing, missing, missing}},
      {"big", {none, Text(EFBIG), none, Text(EFBIG)}},
      {"link", {none, none, Text(ELOOP), Text(ELOOP)}},
  };
  for (const auto& c : cases)
    for (int k = 0; k < 4; ++k) EXPECT_EQ(FailureOf([&] { reads[k](c.name); }), c.failures[k]) << c.name << " " << k;
  EXPECT_EQ(files.ReadSmall(app.string(), 3), "old");
  EXPECT_EQ(files.ReadGuarded((dir / "big").string(), 5).text, "12345");
}

/// What guards the trusted keys: only their owner (root or the runner) may
/// change them, or their folder; a sticky folder is as safe as what is in
/// it. The list is found from the binary's place.
TEST_F(Operations, TrustedKeys) {
  const auto folder = [](mode_t mode) {
    return [=](const fs::path& p) {
      fs::create_directory(p);
      chmod(p.c_str(), mode);
    };
  };
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::optional<Guard> guard;
  } cases[] = {
      {"a file only its owner writes", [](const fs::path& p) { WriteAll(p, "k", 0644); }, Guard::Safe},
      {"a file its group writes", [](const fs::path& p) { WriteAll(p, "k", 0664); }, Guard::Unsafe},
      {"a folder only its owner writes", folder(0755), Guard::Safe},
      {"a sticky folder anyone writes", folder(01777), Guard::SafeIfNextIs},
      {"a folder anyone writes", folder(0777), Guard::Unsafe},
      {"a link to a safe file", [&](const fs::path& p) { fs::create_symlink(app, p); }, Guard::Unsafe},
      {"another user's file", [](const fs::path& p) { WriteAll(p, "k", 0644); (void)!chown(p.c_str(), 1, 1); },
       geteuid() == 0 ? Guard::Unsafe : Guard::Safe},
      {"nothing", [](const fs::path&) {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir / "keys";
    fs::remove_all(path);
    c.make(path);
    EXPECT_EQ(files.Examine(path.string()), c.guard);
    if (c.guard && fs::is_regular_file(fs::symlink_status(path))) {
      EXPECT_EQ(files.ReadGuarded(path.string(), 10).guard, c.guard);
    }
  }
  fs::remove_all(dir / "keys");
  fs::create_directory(dir / "folder");
  std::vector<std::string> names = files.ListFiles(dir.path.string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app", "precious"}));
  EXPECT_EQ(FailureOf([&] { files.ListFiles((dir / "none").string()); }), "missing: " + Text(ENOENT));

  // Where the default install rules (prefix/bin) put the binary: the
  // Debian package's /usr/bin/quennel takes /etc, as the system's own do.
  EXPECT_EQ(TrustFileFor("/usr/bin"), "/etc/quennel/trusted-keys");
  EXPECT_EQ(TrustFileFor("/bin"), "/etc/quennel/trusted-keys");
  EXPECT_EQ(TrustFileFor("/usr/local/bin"), "/usr/local/etc/quennel/trusted-keys");
  EXPECT_EQ(TrustFileFor("/opt/quennel/bin"), "/etc/opt/quennel/quennel/trusted-keys");
  EXPECT_EQ(TrustFileFor("/home/ann/q/bin"), "/home/ann/q/etc/quennel/trusted-keys");
}

/// An open file description lock: busy while another open of the file
/// holds it, even in this process; its file goes with it, and its group
/// is the one that may write the folder. Whatever else stands at its name
/// is no lock, and stays as it was.
TEST_F(Operations, LockFiles) {
  const fs::path lock = dir / ".app.lock";
  const auto place = ProgramPlace(), other = ProgramPlace();
  auto held = place->Lock(".app.lock");
  ASSERT_TRUE(held);
  EXPECT_EQ(FailureOf([&] { other->Lock(".app.lock"); }), "busy: " + Text(EAGAIN));
  const std::optional<FileStamp> stamped = held->Stamp("4242\n");
  EXPECT_EQ(ReadAll(lock), "4242\n");
  EXPECT_EQ(stamped, files.Stat(lock.string()).changed);
  EXPECT_EQ(fs::status(lock).permissions(), fs::perms(0600));
  held.reset();
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_TRUE(other->Lock(".app.lock"));

  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  const gid_t group = geteuid() == 0 ? 100 : getegid();
  ASSERT_EQ(chown(shared.c_str(), static_cast<uid_t>(-1), group), 0);
  chmod(shared.c_str(), 0770);
  const auto sharedLock = files.Resolve((shared / "app").string(), false)->Lock(".app.lock");
  struct stat st {};
  EXPECT_EQ(lstat((shared / ".app.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, group);

  const std::function<void()> plants[] = {
      [&] { mkfifo(lock.c_str(), 0600); },
      [&] { fs::create_symlink(precious, lock); },
      [&] { fs::create_hard_link(precious, lock); },
      [&] { fs::create_directory(lock); },
      [&] { WriteAll(lock, "", 0644); },  // open to others
  };
  for (const auto& plant : plants) {
    fs::remove(lock);
    plant();
    const std::string before = Looks(lock), preciousBefore = Looks(precious);
    EXPECT_FALSE(place->Lock(".app.lock")) << before;
    EXPECT_EQ(Looks(lock), before);
    EXPECT_EQ(Looks(precious), preciousBefore);
  }
}

}  // namespace
