#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/Paths.h"
#include "platform/win32/Staging.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

using test::Utf8;

class StagingTest : public testing::Test {
protected:
  void SetUp() override {
    test::WriteDated(source, newBits, 200);
    test::WriteDated(dest, oldBits, 100);
  }
  /// Files in the folder other than the source and the destination.
  size_t Others() const { return folder.Names().size() - 2; }

  test::TempFolder folder;
  const std::wstring source = folder.path() + L"nouveau \u00fc.exe";
  const std::wstring dest = folder.path() + L"programme \u00e9 \u4e2d.exe";
  // Several chunks and an odd tail.
  const std::string newBits = test::Pattern((5u << 19) + 7, 1);
  const std::string oldBits = test::Pattern(1000, 2);
  Win32Platform platform;
  std::vector<std::uint64_t> progress;
  const CopyProgress record = [this](std::uint64_t copied, std::uint64_t) { progress.push_back(copied); };
};

TEST_F(StagingTest, ReplacementPutsTheNewBitsAndTheirTimeInPlace) {
  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), record);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));  // nothing replaced before the commit
  staged->Commit(RunningProgram::Wait);
  staged.reset();
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(platform.Stat(Utf8(dest)).modified, platform.Stat(Utf8(source)).modified);
  EXPECT_TRUE(test::HasBytes(source, newBits));
  EXPECT_EQ(Others(), 0u);
  // Told after each chunk, up to the whole size.
  ASSERT_EQ(progress.size(), 3u);
  EXPECT_EQ(progress.back(), newBits.size());
}

TEST_F(StagingTest, StagingFileSitsBesideTheDestinationAndIsGuarded) {
  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), record);
  const std::vector<std::wstring> others = folder.Names(L".quennel~");
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0].rfind(L"programme \u00e9 \u4e2d.exe.quennel~", 0), 0u);
  // Another run's cleanup cannot take it while this run holds it.
  EXPECT_FALSE(DeleteFileW((folder.path() + others[0]).c_str()));
  staged.reset();
  EXPECT_EQ(Others(), 0u);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));
}

/// What the clean-up clears: only our own files of this very name, once
/// stale by the lock file's clock; what cannot go stays as it was.
TEST_F(StagingTest, OnlyStaleLeftoversGoAndWhatStaysIsUnchanged) {
  const std::wstring name = SplitPath(dest).name;
  const auto beside = [&](const std::wstring& file) { return folder.path() + file; };
  const std::wstring stale = beside(QuennelName(name, Kind::Staging, L"0123456789abcdef"));
  const std::wstring live = beside(QuennelName(name, Kind::Staging, L"fedcba9876543210"));
  const std::wstring running = beside(QuennelName(name, Kind::SetAside, L"00000000000000aa"));
  const std::wstring otherCase = beside(L"PROGRAMME \u00c9 \u4e2d.EXE.quennel~1111111111111111.tmp");
  const std::wstring notOurs = beside(name + L".quennel~notmine.tmp");
  for (const auto& path : {stale, live, otherCase, notOurs}) test::WriteBytes(path, "x");
  test::WriteBytes(running, test::ReadBytes(test::HelperPath()));
  // A concurrent run keeps its staging file open without delete sharing;
  // an old version set aside still runs.
  test::Child held = test::HoldFile(live, 60000);
  test::Child other = test::RunProgram(running, 60000);
  ASSERT_TRUE(SetFileAttributesW(running.c_str(), FILE_ATTRIBUTE_READONLY));

  // All are fresh: a run's clean-up leaves every one.
  platform.LockDestination(Utf8(dest));
  for (const auto& path : {stale, live, running, otherCase, notOurs})
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << Utf8(path);

  // An hour on by the folder's clock, only the stale copy goes.
  ClearLeftovers(ResolveTarget(dest), test::AnHourOn());
  EXPECT_EQ(GetFileAttributesW(stale.c_str()), INVALID_FILE_ATTRIBUTES);
  for (const auto& path : {live, otherCase, notOurs})
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << Utf8(path);
  EXPECT_NE(GetFileAttributesW(running.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesW(running.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(StagingTest, SourceChangedDuringTheCopyFailsAndLeavesNothing) {
  // Touches the source while the copy is under way.
  const CopyProgress touch = [&](std::uint64_t, std::uint64_t) { test::SetModified(source, test::Day(300)); };
  try {
    platform.StageCopy(Utf8(source), Utf8(dest), touch);
    FAIL() << "the change went unnoticed";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "Le fichier source a changé pendant la copie.");
  }
  EXPECT_EQ(Others(), 0u);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));
}

TEST_F(StagingTest, MissingSourceFailsAndLeavesNothing) {
  EXPECT_THROW(platform.StageCopy(Utf8(folder.path() + L"absent.exe"), Utf8(dest), record), PlatformError);
  EXPECT_EQ(Others(), 0u);
}

TEST_F(StagingTest, MissingDestinationFolderFails) {
  EXPECT_THROW(platform.StageCopy(Utf8(source), Utf8(folder.path() + L"absent\\q.exe"), record), PlatformError);
}

TEST_F(StagingTest, DirectoryInTheWayIsNotWorthWaitingFor) {
  const std::wstring directory = folder.path() + L"dossier.exe";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  auto staged = platform.StageCopy(Utf8(source), Utf8(directory), record);
  try {
    staged->Commit(RunningProgram::SetAside);
    ADD_FAILURE() << "a file replaced a folder";
  } catch (const BusyError&) {
    ADD_FAILURE() << "waits for a folder to go";
  } catch (const PlatformError& error) {
    EXPECT_STRNE(error.what(), "");
  }
  staged.reset();
  EXPECT_EQ(Others(), 0u);
}

TEST_F(StagingTest, UncommittedCopyIsRemovedWhenDropped) {
  platform.StageCopy(Utf8(source), Utf8(dest), record).reset();
  EXPECT_EQ(Others(), 0u);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));
}

}  // namespace
}  // namespace quennel::win32
