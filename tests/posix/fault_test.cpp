/// Failures in the middle of a replacement, on real files: the real driver
/// and POSIX backend, with one fault injected at a known point (between two
/// chunks of the copy, or just before the swap) and the user's side recorded.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/PosixPlatform.h"
#include "tests/RunForm.h"
#include "update/F_Main.h"

namespace {

namespace fs = std::filesystem;
using quennel::F_Main;
using quennel::PlatformError;
using quennel::PosixPlatform;

/// Big enough for three chunks, so the copy pumps events twice before its end.
constexpr size_t kSourceSize = size_t{24} << 20;
constexpr const char* kOldBits = "the installed program, version 1";
constexpr const char* kSourceChanged = "Le fichier source a changé pendant la copie.";
constexpr const char* kStagingReplaced = "La copie temporaire a été remplacée par un autre fichier.";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  chmod(path.c_str(), 0755);
}

void SetTime(const fs::path& path, time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

time_t TimeOf(const fs::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mtim.tv_sec;
}

/// A new version whose every 8 MiB chunk differs from the others.
std::string NewVersion(char fill) {
  std::string bits(kSourceSize, fill);
  for (size_t i = 0; i < bits.size(); i += 4096) bits[i] = static_cast<char>(i >> 12);
  return bits;
}

/// The command line that starts `program` with `args`.
std::string LaunchLine(const fs::path& program, const char* args) {
  return std::string(1, '"').append(program.string()).append("\" ").append(args);
}

/// The test platform's End() throws this, so the test gets control back.
using quennel::testing::Ended;

struct Box {
  std::string text;
  int style;
  std::string title;
};

/// The POSIX backend with a fault to inject once, and a record of what the
/// user would see and what would be started (nothing is executed).
class FaultyPlatform : public PosixPlatform {
public:
  using PosixPlatform::PosixPlatform;

  std::function<void()> midCopy;       // at the first event pump between two chunks
  std::function<void()> beforeCommit;  // after the copy, before the swap

  std::vector<Box> boxes;
  std::optional<std::string> started;
  std::optional<std::string> report;
  int pumpsDuringCopy = 0;

  void PumpEvents() override {
    if (!copying_) return;
    ++pumpsDuringCopy;
    if (midCopy) std::exchange(midCopy, nullptr)();
  }
  std::unique_ptr<quennel::StagedCopy> StageCopy(const std::string& source, const std::string& destination,
                                                 const quennel::CopyProgress& progress) override {
    copying_ = true;
    try {
      auto staged = std::make_unique<Hooked>(*this, PosixPlatform::StageCopy(source, destination, progress));
      copying_ = false;
      return staged;
    } catch (...) {
      copying_ = false;
      throw;
    }
  }
  void StartProgram(const std::string& commandLine, quennel::WindowMode) override { started = commandLine; }
  void ShowMessage(const std::string& text, quennel::MessageStyle style,
                   const std::optional<std::string>& title) override {
    if (style == quennel::MessageStyle::Critical) {
      report = text;
      return;
    }
    boxes.push_back({text, static_cast<int>(style), title.value_or("<none>")});
  }
  void SetLabelText(int, const std::string&) override {}
  void ShowProgressWindow() override {}
  void PlayBeep() override {}
  void SetPointer(quennel::PointerShape) override {}
  [[noreturn]] void End(int status) override { throw Ended{status}; }

  /// Runs Quennel the way start-up does; returns the exit status.
  int Run() { return quennel::testing::RunForm(*this); }

private:
  /// The backend's staged copy, with the fault injected before the swap.
  struct Hooked : quennel::StagedCopy {
    Hooked(FaultyPlatform& owner, std::unique_ptr<quennel::StagedCopy> inner)
        : owner(owner), inner(std::move(inner)) {}
    void Commit() override {
      if (owner.beforeCommit) std::exchange(owner.beforeCommit, nullptr)();
      inner->Commit();
    }
    void CommitSettingAside() override { inner->CommitSettingAside(); }
    FaultyPlatform& owner;
    std::unique_ptr<quennel::StagedCopy> inner;
  };

  bool copying_ = false;
};

/// The files of one run.
struct Files {
  fs::path folder, source, dest, precious;

  /// Entries named like a staging file of the destination.
  std::vector<fs::path> Staging() const {
    std::string prefix = ".";
    prefix.append(dest.filename().string()).append(".quennel~");
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
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
  std::function<void(const Files&)> midCopy;       // or empty
  std::function<void(const Files&)> beforeCommit;  // or empty
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

void ReplaceStagingBy(const Files& files, const std::function<void(const fs::path&)>& make) {
  const fs::path staging = files.OurStaging();
  ASSERT_FALSE(staging.empty());
  fs::remove(staging);
  make(staging);
}

void DestBecomesFolder(const Files& files) {
  fs::remove(files.dest);
  fs::create_directory(files.dest);
}

const std::string SourceChanged() { return kSourceChanged; }

const FaultCase kFaults[] = {
    {"SourceRemoved", [](const Files& f) { fs::remove(f.source); }, nullptr, SourceChanged},
    {"SourceTruncated", [](const Files& f) { fs::resize_file(f.source, 4 << 20); }, nullptr,
     SourceChanged},
    {"SourceRewrittenWithANewTime",
     [](const Files& f) {
       RewriteInPlace(f.source);
       SetTime(f.source, 3000);
     },
     nullptr, SourceChanged},
    {"SourceRewrittenItsTimePutBack",
     [](const Files& f) {
       RewriteInPlace(f.source);
       SetTime(f.source, 2000);
     },
     nullptr, SourceChanged},
    {"SourceReplacedBySameSizeFile",
     [](const Files& f) {
       const fs::path next = f.folder / "new.next";
       WriteAll(next, NewVersion('M'));
       SetTime(next, 2000);
       fs::rename(next, f.source);
     },
     nullptr, SourceChanged},
    {"StagingNameTakenByAnotherFile",
     [](const Files& f) {
       ReplaceStagingBy(f, [](const fs::path& p) { WriteAll(p, "someone else's file"); });
     },
     nullptr, [] { return std::string(kStagingReplaced); }},
    {"StagingNameTakenByASymlink",
     [](const Files& f) {
       ReplaceStagingBy(f, [&](const fs::path& p) { fs::create_symlink(f.precious, p); });
     },
     nullptr, [] { return std::string(kStagingReplaced); }},
    {"StagingNameTakenBeforeTheSwap", nullptr,
     [](const Files& f) {
       ReplaceStagingBy(f, [&](const fs::path& p) { fs::create_symlink(f.precious, p); });
     },
     [] { return std::string(kStagingReplaced); }},
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
  Files files_;
};

class Fault : public FaultFiles, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, LeavesTheOldProgramAndStartsItWithTheMarker) {
  const FaultCase& c = GetParam();
  FaultyPlatform platform({files_.source.string(), files_.dest.string(), "x"});
  if (c.midCopy) platform.midCopy = [&] { c.midCopy(files_); };
  if (c.beforeCommit) platform.beforeCommit = [&] { c.beforeCommit(files_); };

  const int status = platform.Run();

  if (c.midCopy && platform.pumpsDuringCopy == 0)
    GTEST_SKIP() << "this file system copied the file in one step (a reflink): no mid-copy point";
  EXPECT_EQ(status, quennel::kExitStarted) << platform.report.value_or("");
  ASSERT_EQ(platform.boxes.size(), 1u);
  EXPECT_EQ(platform.boxes[0].text,
            c.error() + "\r\nCopy " + files_.source.string() + ", " + files_.dest.string());
  EXPECT_EQ(platform.boxes[0].style, 48);
  EXPECT_EQ(platform.boxes[0].title, program_invocation_short_name);
  EXPECT_EQ(platform.started, LaunchLine(files_.dest, "x (~!~)"));
  if (c.destBecomesFolder) {
    EXPECT_TRUE(fs::is_directory(files_.dest));
    EXPECT_TRUE(fs::is_empty(files_.dest));
  } else {
    EXPECT_EQ(ReadAll(files_.dest), kOldBits);
    EXPECT_EQ(TimeOf(files_.dest), 1000);
  }
  EXPECT_EQ(ReadAll(files_.precious), "must stay untouched");
  EXPECT_TRUE(files_.Staging().empty());
}

INSTANTIATE_TEST_SUITE_P(Replacement, Fault, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

/// The same set-up without a fault installs: the rows above fail because of
/// their fault, not because of the set-up.
TEST_F(FaultFiles, WithoutAFaultTheNewVersionGoesIn) {
  FaultyPlatform platform({files_.source.string(), files_.dest.string(), "x"});
  EXPECT_EQ(platform.Run(), quennel::kExitStarted) << platform.report.value_or("");
  EXPECT_TRUE(platform.boxes.empty());
  EXPECT_EQ(platform.started, LaunchLine(files_.dest, "x"));
  EXPECT_TRUE(ReadAll(files_.dest) == NewVersion('N'));
  EXPECT_TRUE(files_.Staging().empty());
}

/// Names like a staging file's that were there before the run: a link is
/// never followed (its target stays as it was), and the install goes in.
TEST_F(FaultFiles, StagingLookalikesFromBeforeAreNotFollowed) {
  const fs::path link = files_.folder / ".app.quennel~AAAAAA";
  const fs::path folder = files_.folder / ".app.quennel~BBBBBB";
  fs::create_symlink(files_.precious, link);
  fs::create_directory(folder);
  FaultyPlatform platform({files_.source.string(), files_.dest.string(), "x"});

  EXPECT_EQ(platform.Run(), quennel::kExitStarted) << platform.report.value_or("");

  EXPECT_TRUE(platform.boxes.empty());
  EXPECT_TRUE(ReadAll(files_.dest) == NewVersion('N'));
  EXPECT_EQ(ReadAll(files_.precious), "must stay untouched");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_directory(folder));
}

/// A name of 255 bytes (85 CJK characters) stages under a shortened name
/// that fits, cut between characters and still the name's own: a later run
/// recognises one left behind and clears it.
TEST_F(FaultFiles, LongNamesStageUnderANameThatFits) {
  std::string name;
  for (int i = 0; i < 85; ++i) name += "中";
  const fs::path dest = files_.folder / name;
  fs::rename(files_.dest, dest);
  std::vector<std::string> staging;
  const auto seeStaging = [&] {
    for (const auto& entry : fs::directory_iterator(files_.folder))
      if (entry.path().filename().string().find(".quennel~") != std::string::npos)
        staging.push_back(entry.path().filename().string());
  };
  FaultyPlatform first({files_.source.string(), dest.string()});
  first.midCopy = seeStaging;
  EXPECT_EQ(first.Run(), quennel::kExitStarted) << first.report.value_or("");
  if (first.pumpsDuringCopy == 0) GTEST_SKIP() << "this file system copied the file in one step (a reflink)";

  ASSERT_EQ(staging.size(), 1u);
  const std::string& staged = staging[0];
  EXPECT_LE(staged.size(), 255u);
  // As many whole characters as fit (76 of them), then a tag of its own in
  // plain ASCII: no character cut short.
  ASSERT_EQ(staged.compare(0, 1 + 76 * 3, std::string(".").append(name, 0, 76 * 3)), 0) << staged;
  EXPECT_TRUE(std::all_of(staged.begin() + 1 + 76 * 3, staged.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
      << staged;
  EXPECT_TRUE(ReadAll(dest) == NewVersion('N'));

  // A killed run's copy under that name goes on the next replacement.
  WriteAll(files_.folder / staged, "left by a killed run");
  SetTime(files_.source, 3000);
  FaultyPlatform second({files_.source.string(), dest.string()});
  EXPECT_EQ(second.Run(), quennel::kExitStarted) << second.report.value_or("");
  EXPECT_FALSE(fs::exists(files_.folder / staged));
  EXPECT_TRUE(second.boxes.empty());
}

}  // namespace
