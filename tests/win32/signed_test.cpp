/// Signed versions through quennel.exe: a copy of it beside a
/// trusted-keys.txt that lists the key minisign signed the new version with
/// (sign_fixture.sh, at build time).

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/win32/Support.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;

TEST(SignedVersionTest, OnlyTheSignedBytesGoIn) {
  const std::wstring fixture = test::ProgramFolder() + L"signed\\";
  if (GetFileAttributesW((fixture + L"Programme.exe.minisig").c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no signed version: minisign was missing at build time";
  const std::string old = test::ReadBytes(test::HelperPath()), signedBits = test::ReadBytes(fixture + L"Programme.exe");
  for (const bool altered : {false, true}) {
    SCOPED_TRACE(altered ? "a byte more than was signed" : "as signed");
    test::TempFolder folder;
    const std::wstring bin = folder.path() + L"bin\\", source = folder.path() + L"PROGRAMME.exe",
                       installed = folder.path() + L"Programme \u00e9.exe";
    ASSERT_TRUE(CreateDirectoryW(bin.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(test::QuennelPath().c_str(), (bin + L"quennel.exe").c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((fixture + L"trusted-keys.txt").c_str(), (bin + L"trusted-keys.txt").c_str(), TRUE));
    // Signed as Programme.exe: a Windows name is the same in any case.
    test::WriteDated(source, altered ? signedBits + "!" : signedBits, 200);
    ASSERT_TRUE(CopyFileW((fixture + L"Programme.exe.minisig").c_str(), (source + L".minisig").c_str(), TRUE));
    test::WriteDated(installed, old, 100);

    test::Child quennel = test::Child::Start(bin + L"quennel.exe", L"\"" + source + L"\" \"" + installed + L"\" /x", false);
    EXPECT_EQ(quennel.Wait(60s), DWORD{kExitStarted});

    EXPECT_TRUE(test::HasBytes(installed, altered ? old : signedBits));
    EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" /x" + (altered ? L" (~!~)" : L""));
    EXPECT_TRUE(folder.Names(L".tmp").empty()) << "a staging file was left";
  }
}

}  // namespace
}  // namespace quennel
