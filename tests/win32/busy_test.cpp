#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"
#include "update/Busy.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

/// Commits through the driver's own wait; returns the number of busy answers.
int CommitWithin(Platform& platform, StagedCopy& staged, std::chrono::milliseconds limit) {
  int tries = 0;
  RetryWhileBusy(platform, limit, [&] {
    ++tries;
    staged.Commit();
  });
  return tries - 1;
}

class BusyTest : public testing::Test {
protected:
  void SetUp() override {
    test::WriteBytes(source, newBits);
    test::SetModified(source, test::Day(200));
  }

  test::TempFolder folder;
  const std::wstring source = folder.path() + L"nouveau.exe";
  const std::wstring dest = folder.path() + L"install\u00e9 \u4e2d.exe";
  const std::string newBits = test::Pattern(300000, 5);
  Win32Platform platform;
  const CopyProgress ignore = [](std::uint64_t, std::uint64_t) {};
};

TEST_F(BusyTest, FileHeldWithoutSharingIsBusyUntilReleased) {
  const std::string oldBits = test::Pattern(1000, 6);
  test::WriteBytes(dest, oldBits);
  test::Child holder = test::HoldFile(dest, 1500);

  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), ignore);
  try {
    staged->Commit();
    FAIL() << "replaced a file held without sharing";
  } catch (const BusyError& error) {
    EXPECT_STRNE(error.what(), "");
  }

  EXPECT_GT(CommitWithin(platform, *staged, 20s), 0);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(holder.Wait(10s), DWORD{0});
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST_F(BusyTest, RunningProgramIsBusyUntilItExits) {
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  test::WriteBytes(dest, oldBits);
  test::Child running = test::RunProgram(dest, 1500);

  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), ignore);
  EXPECT_THROW(staged->Commit(), BusyError);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));

  EXPECT_GT(CommitWithin(platform, *staged, 20s), 0);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(running.Wait(10s), DWORD{0});
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST_F(BusyTest, StagingFileStaysGuardedBetweenTries) {
  test::WriteBytes(dest, "ancien");
  test::Child holder = test::HoldFile(dest, 20000);
  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), ignore);
  EXPECT_THROW(staged->Commit(), BusyError);
  // A concurrent run's cleanup still cannot remove it.
  std::vector<std::wstring> names = folder.Names();
  std::erase_if(names, [](const std::wstring& name) { return name.find(L".quennel~") == std::wstring::npos; });
  ASSERT_EQ(names.size(), 1u);
  EXPECT_FALSE(DeleteFileW((folder.path() + names[0]).c_str()));
  staged.reset();
  EXPECT_EQ(folder.Names().size(), 2u);
}

}  // namespace
}  // namespace quennel::win32
