/// A new version that changes in the middle of its copy, on real files: the
/// driver on the POSIX backend's files, with the change made between two
/// reads of the copy, and what the user would see recorded instead of
/// shown. Only the file system's own statuses can tell these changes.

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/WindowsQuoting.h"
#include "platform/posix/PosixFiles.h"
#include "tests/FakePlatform.h"
#include "tests/posix/RealRun.h"

namespace {

using namespace quennel;
using namespace quennel::testing::real;
namespace fs = std::filesystem;

/// Several of the driver's reads, so the copy has a middle.
constexpr size_t kSourceSize = size_t{24} << 20;
constexpr const char* kOldBits = "the installed program, version 1";

/// A new version whose every 4 KiB differs from the next.
std::string NewVersion(char fill) {
  std::string bits(kSourceSize, fill);
  for (size_t i = 0; i < bits.size(); i += 4096) bits[i] = static_cast<char>(i >> 12);
  return bits;
}

/// The new version, read through Quennel (the system cannot copy from
/// it), with `midCopy` run once after a first read that left more.
class HookedSource final : public Source {
public:
  HookedSource(std::unique_ptr<Source> inner, std::function<void()>& midCopy)
      : inner_(std::move(inner)), midCopy_(midCopy) {}
  FileStatus Status() override { return inner_->Status(); }
  std::size_t Read(unsigned char* bytes, std::size_t size) override {
    const std::size_t n = inner_->Read(bytes, size);
    if (n > 0 && n < kSourceSize && midCopy_) std::exchange(midCopy_, nullptr)();
    return n;
  }

private:
  std::unique_ptr<Source> inner_;
  std::function<void()>& midCopy_;
};

class HookedFiles final : public Files {
public:
  std::function<void()> midCopy;
  FileStatus Stat(const std::string& path) override { return real_.Stat(path); }
  FileStatus StatFresh(const std::string& path) override { return real_.StatFresh(path); }
  std::unique_ptr<Source> OpenSource(const std::string& path) override {
    return std::make_unique<HookedSource>(real_.OpenSource(path), midCopy);
  }
  std::string ReadSmall(const std::string& path, std::size_t limit) override { return real_.ReadSmall(path, limit); }
  std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) override {
    return real_.Resolve(destination, makeFolders);
  }
  std::string Runner() override { return real_.Runner(); }
  bool IsSystemAccount(const std::string& owner) override { return real_.IsSystemAccount(owner); }
  bool RunnerIsAdministrator() override { return real_.RunnerIsAdministrator(); }
  const NameRules& Names() override { return real_.Names(); }
  TrustPaths TrustPlaces() override { return real_.TrustPlaces(); }
  std::optional<Guard> Examine(const std::string& path) override { return real_.Examine(path); }
  GuardedText ReadGuarded(const std::string& path, std::size_t limit) override {
    return real_.ReadGuarded(path, limit);
  }
  std::vector<std::string> ListFiles(const std::string& path) override { return real_.ListFiles(path); }

private:
  PosixFiles real_;
};

struct FaultCase {
  const char* name;
  std::function<void(const fs::path& source)> midCopy;  // none: the new version goes in
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

const FaultCase kFaults[] = {
    {"NoChange", nullptr},
    // The same file, size and modification time: only the change time tells.
    {"RewrittenInPlaceItsTimePutBack",
     [](const fs::path& source) {
       const int fd = open(source.c_str(), O_WRONLY | O_CLOEXEC);
       EXPECT_EQ(pwrite(fd, "a newer build", 13, 20 << 20), 13);
       close(fd);
       SetTime(source, 2000);
     }},
    // Another file of the same size and time: its id tells.
    {"ReplacedBySameSizeFile",
     [](const fs::path& source) {
       WriteAll(source.string() + ".next", NewVersion('M'));
       SetTime(source.string() + ".next", 2000);
       fs::rename(source.string() + ".next", source);
     }},
};

class ChangingSource : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ChangingSource, LeavesTheOldProgramAndStartsItWithTheMarker) {
  const FaultCase& c = GetParam();
  TempDir dir;
  const fs::path source = dir / "new", dest = dir / "app";
  WriteAll(source, NewVersion('N'));
  WriteAll(dest, kOldBits);
  SetTime(dest, 1000);
  SetTime(source, 2000);
  HookedFiles files;
  if (c.midCopy) files.midCopy = [&] { c.midCopy(source); };
  // The user's side is the fake's: boxes recorded, nothing really started.
  quennel::testing::FakePlatform user;
  user.process.tail = TailFromArguments({source.string(), dest.string(), "x"});
  user.process.suffix = "";
  user.files.files[dest.string()] = {};  // what the fake may start

  const int status = quennel::testing::RunForm({files, user.process, user.screen, user.record});

  EXPECT_EQ(status, kExitStarted);
  EXPECT_FALSE(files.midCopy) << "the copy had no middle";
  std::vector<std::string> boxes;
  for (const auto& message : user.screen.messages) boxes.push_back(message.text);
  const std::string started = "\"" + dest.string() + "\" x";
  if (c.midCopy) {
    EXPECT_EQ(boxes, std::vector<std::string>{std::string(texts::kSourceChanged) + "\r\nCopy " + source.string() +
                                              ", " + dest.string()});
    EXPECT_EQ(user.process.started, started + " (~!~)");
    EXPECT_EQ(ReadAll(dest), kOldBits);
  } else {
    EXPECT_EQ(boxes, std::vector<std::string>{});
    EXPECT_EQ(user.process.started, started);
    EXPECT_TRUE(ReadAll(dest) == NewVersion('N'));
  }
  EXPECT_EQ(OwnFilesIn(dir.path), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Replacement, ChangingSource, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
