#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

/// Commits the way the driver does: again after each BusyError, until
/// `limit`. Returns the number of busy answers.
int CommitWithin(Platform& platform, const std::string& staged, const std::string& dest,
                 std::chrono::milliseconds limit) {
  const auto deadline = platform.Now() + limit;
  for (int busy = 0;; ++busy) {
    try {
      platform.CommitStaged(staged, dest);
      return busy;
    } catch (const BusyError&) {
      if (platform.Now() >= deadline) throw;
    }
    platform.PumpEvents();
    platform.Pause(20ms);
  }
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
};

TEST_F(BusyTest, FileHeldWithoutSharingIsBusyUntilReleased) {
  const std::string oldBits = test::Pattern(1000, 6);
  test::WriteBytes(dest, oldBits);
  test::Child holder = test::HoldFile(dest, 1500);

  const std::string staged = platform.StageCopy(Utf8(source), Utf8(dest));
  try {
    platform.CommitStaged(staged, Utf8(dest));
    FAIL() << "replaced a file held without sharing";
  } catch (const BusyError& error) {
    EXPECT_STRNE(error.what(), "");
  }

  EXPECT_GT(CommitWithin(platform, staged, Utf8(dest), 20s), 0);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(holder.Wait(10s), DWORD{0});
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST_F(BusyTest, RunningProgramIsBusyUntilItExits) {
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  test::WriteBytes(dest, oldBits);
  test::Child running = test::RunProgram(dest, 1500);

  const std::string staged = platform.StageCopy(Utf8(source), Utf8(dest));
  EXPECT_THROW(platform.CommitStaged(staged, Utf8(dest)), BusyError);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));

  EXPECT_GT(CommitWithin(platform, staged, Utf8(dest), 20s), 0);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(running.Wait(10s), DWORD{0});
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST_F(BusyTest, StagingFileStaysGuardedBetweenTries) {
  test::WriteBytes(dest, "ancien");
  test::Child holder = test::HoldFile(dest, 20000);
  const std::string staged = platform.StageCopy(Utf8(source), Utf8(dest));
  EXPECT_THROW(platform.CommitStaged(staged, Utf8(dest)), BusyError);
  // A concurrent run's cleanup still cannot remove it.
  EXPECT_FALSE(DeleteFileW(Wide(staged).c_str()));
  platform.DiscardStaged(staged);
  EXPECT_EQ(folder.Names().size(), 2u);
}

}  // namespace
}  // namespace quennel::win32
