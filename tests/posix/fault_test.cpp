/// Failures in the middle of a replacement, on real files: the real driver
/// and POSIX backend, with one fault injected at a known point (between two
/// chunks of the copy, or just before the swap) and the user's side recorded.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/WindowsQuoting.h"
#include "platform/posix/PosixPlatform.h"
#include "tests/FakePlatform.h"
#include "tests/posix/RealRun.h"

namespace {

using namespace quennel::testing::real;
using quennel::testing::FakePlatform;
namespace fs = std::filesystem;

/// Big enough for three chunks, so the copy pumps events twice before its end.
constexpr size_t kSourceSize = size_t{24} << 20;
constexpr const char* kOldBits = "the installed program, version 1";

/// A new version whose every 8 MiB chunk differs from the others.
std::string NewVersion(char fill) {
  std::string bits(kSourceSize, fill);
  for (size_t i = 0; i < bits.size(); i += 4096) bits[i] = static_cast<char>(i >> 12);
  return bits;
}

/// The real files of the POSIX backend, with a fault to inject once:
/// between two chunks of the copy, or just before the swap.
class FaultyFiles : public quennel::Files {
public:
  std::function<void()> midCopy;
  std::function<void()> beforeCommit;
  int chunksBeforeTheEnd = 0;

  quennel::FileStatus Stat(const std::string& path) override { return real_.Stat(path); }
  std::unique_ptr<quennel::DestinationLock> LockDestination(const std::string& destination) override {
    return real_.LockDestination(destination);
  }
  std::unique_ptr<quennel::StagedCopy> StageCopy(const std::string& source, const std::string& destination,
                                                 const quennel::CopyProgress& progress,
                                                 quennel::ContentCheck* check) override {
    auto staged = real_.StageCopy(source, destination, [&](std::uint64_t copied, std::uint64_t total) {
      if (copied < total && ++chunksBeforeTheEnd == 1 && midCopy) midCopy();
      progress(copied, total);
    }, check);
    return std::make_unique<Hooked>(*this, std::move(staged));
  }
  std::optional<quennel::TrustFile> ReadTrustFile() override { return real_.ReadTrustFile(); }
  std::string ReadSignature(const std::string& path) override { return real_.ReadSignature(path); }

private:
  struct Hooked : quennel::StagedCopy {
    Hooked(FaultyFiles& owner, std::unique_ptr<quennel::StagedCopy> inner) : owner(owner), inner(std::move(inner)) {}
    void Commit(quennel::RunningProgram running) override {
      if (owner.beforeCommit) std::exchange(owner.beforeCommit, nullptr)();
      inner->Commit(running);
    }
    FaultyFiles& owner;
    std::unique_ptr<quennel::StagedCopy> inner;
  };
  quennel::PosixPlatform real_{{}};
};

/// One run of the real driver on real files, with what the user would see
/// recorded by the fake screen and nothing really started.
struct FaultRun {
  FaultRun(const fs::path& source, const fs::path& dest, const Args& extra = {"x"}) {
    Args args = {source.string(), dest.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    fake.tail = quennel::TailFromArguments(args);
    fake.suffix = "";
    fake.files[dest.string()] = {};  // the program the fake may start
  }
  int Run() { return quennel::testing::RunForm({files, fake, fake, fake}); }
  FaultyFiles files;
  FakePlatform fake;
};

/// The paths of one run.
struct Paths {
  fs::path folder, source, dest, precious;

  /// Entries named like a staging file of the destination (its lock file aside).
  std::vector<fs::path> Staging() const {
    std::string prefix = ".";
    prefix.append(dest.filename().string()).append(".quennel~");
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(prefix) && name != prefix + "lock") found.push_back(entry.path());
    }
    return found;
  }
  /// The one staging file of the run in progress.
  fs::path OurStaging() const {
    const auto found = Staging();
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? fs::path() : found.front();
  }
};

struct FaultCase {
  const char* name;
  std::function<void(const Paths&)> midCopy;       // or empty
  std::function<void(const Paths&)> beforeCommit;  // or empty
  /// First line of the copy-error box.
  std::function<std::string()> error;
  bool destBecomesFolder = false;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

void RewriteInPlace(const fs::path& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string patch = "a newer build";
  ASSERT_EQ(pwrite(fd, patch.data(), patch.size(), 20 << 20), static_cast<ssize_t>(patch.size()));
  close(fd);
}

void ReplaceStagingBy(const Paths& files, const std::function<void(const fs::path&)>& make) {
  const fs::path staging = files.OurStaging();
  ASSERT_FALSE(staging.empty());
  fs::remove(staging);
  make(staging);
}

void DestBecomesFolder(const Paths& files) {
  fs::remove(files.dest);
  fs::create_directory(files.dest);
}

std::string SourceChanged() { return quennel::texts::kSourceChanged; }
std::string StagingReplaced() { return quennel::texts::kStagingReplaced; }

const FaultCase kFaults[] = {
    {"SourceRemoved", [](const Paths& f) { fs::remove(f.source); }, nullptr, SourceChanged},
    {"SourceTruncated", [](const Paths& f) { fs::resize_file(f.source, 4 << 20); }, nullptr,
     SourceChanged},
    {"SourceRewrittenWithANewTime",
     [](const Paths& f) {
       RewriteInPlace(f.source);
       SetTime(f.source, 3000);
     },
     nullptr, SourceChanged},
    {"SourceRewrittenItsTimePutBack",
     [](const Paths& f) {
       RewriteInPlace(f.source);
       SetTime(f.source, 2000);
     },
     nullptr, SourceChanged},
    {"SourceReplacedBySameSizeFile",
     [](const Paths& f) {
       const fs::path next = f.folder / "new.next";
       WriteAll(next, NewVersion('M'));
       SetTime(next, 2000);
       fs::rename(next, f.source);
     },
     nullptr, SourceChanged},
    {"StagingNameTakenByAnotherFile",
     [](const Paths& f) {
       ReplaceStagingBy(f, [](const fs::path& p) { WriteAll(p, "someone else's file"); });
     },
     nullptr, StagingReplaced},
    {"StagingNameTakenByASymlink",
     [](const Paths& f) {
       ReplaceStagingBy(f, [&](const fs::path& p) { fs::create_symlink(f.precious, p); });
     },
     nullptr, StagingReplaced},
    {"StagingNameTakenBeforeTheSwap", nullptr,
     [](const Paths& f) {
       ReplaceStagingBy(f, [&](const fs::path& p) { fs::create_symlink(f.precious, p); });
     },
     StagingReplaced},
    {"DestinationBecomesAFolderBeforeTheSwap", nullptr, DestBecomesFolder,
     [] { return std::string(std::strerror(EISDIR)); }, true},
    {"DestinationBecomesAFolderDuringTheCopy", DestBecomesFolder, nullptr,
     [] { return std::string(std::strerror(EISDIR)); }, true},
};

class FaultFiles : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quennel-fault-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    files_.folder = pattern;
    files_.source = files_.folder / "new";
    files_.dest = files_.folder / "app";
    files_.precious = files_.folder / "precious";
    WriteAll(files_.source, NewVersion('N'));
    WriteAll(files_.dest, kOldBits);
    WriteAll(files_.precious, "must stay untouched");
    SetTime(files_.dest, 1000);
    SetTime(files_.source, 2000);
  }
  void TearDown() override { fs::remove_all(files_.folder); }
  Paths files_;
};

class Fault : public FaultFiles, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, LeavesTheOldProgramAndStartsItWithTheMarker) {
  const FaultCase& c = GetParam();
  FaultRun run(files_.source, files_.dest);
  if (c.midCopy) run.files.midCopy = [&] { c.midCopy(files_); };
  if (c.beforeCommit) run.files.beforeCommit = [&] { c.beforeCommit(files_); };

  const int status = run.Run();

  if (c.midCopy && run.files.chunksBeforeTheEnd == 0)
    GTEST_SKIP() << "this file system copied the file in one step (a reflink): no mid-copy point";
  EXPECT_EQ(status, quennel::kExitStarted) << run.fake.report.value_or("");
  ASSERT_EQ(run.fake.messages.size(), 1u);
  EXPECT_EQ(run.fake.messages[0].text,
            c.error() + "\r\nCopy " + files_.source.string() + ", " + files_.dest.string());
  EXPECT_EQ(run.fake.started, "\"" + files_.dest.string() + "\" x (~!~)");
  if (c.destBecomesFolder) {
    EXPECT_TRUE(fs::is_directory(files_.dest));
    EXPECT_TRUE(fs::is_empty(files_.dest));
  } else {
    EXPECT_EQ(ReadAll(files_.dest), kOldBits);
    EXPECT_EQ(TimeOf(files_.dest).tv_sec, 1000);
  }
  EXPECT_EQ(ReadAll(files_.precious), "must stay untouched");
  EXPECT_TRUE(files_.Staging().empty());
}

INSTANTIATE_TEST_SUITE_P(Replacement, Fault, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

/// Without a fault the new version goes in (the rows above fail because of
/// their fault, not the set-up), and names like a staging file's that were
/// there before the run are never followed: a link's target stays as it was.
TEST_F(FaultFiles, WithoutAFaultTheNewVersionGoesIn) {
  const fs::path link = files_.folder / ".app.quennel~AAAAAA";
  const fs::path folder = files_.folder / ".app.quennel~BBBBBB";
  fs::create_symlink(files_.precious, link);
  fs::create_directory(folder);
  FaultRun run(files_.source, files_.dest);

  EXPECT_EQ(run.Run(), quennel::kExitStarted) << run.fake.report.value_or("");

  EXPECT_TRUE(run.fake.messages.empty());
  EXPECT_EQ(run.fake.started, "\"" + files_.dest.string() + "\" x");
  EXPECT_TRUE(ReadAll(files_.dest) == NewVersion('N'));
  EXPECT_EQ(ReadAll(files_.precious), "must stay untouched");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
