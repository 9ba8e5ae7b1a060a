/// The Windows replacement's own rules: long paths and names, what the new
/// file keeps, times a coarse file system can store, the lock, and which
/// refusals are worth waiting for.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <optional>

#include <gtest/gtest.h>

#include "platform/win32/Paths.h"
#include "platform/win32/Staging.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

class ReplaceTest : public testing::Test {
protected:
  /// Stages and commits `source` over `dest` under the lock, as a run does.
  void Replace(const std::wstring& dest) {
    auto lock = platform.LockDestination(Utf8(dest));
    platform.StageCopy(Utf8(source), Utf8(dest), ignore)->Commit();
  }
  void Prepare(const std::wstring& dest) {
    test::WriteBytes(source, newBits);
    test::SetModified(source, test::Day(200));
    test::WriteBytes(dest, oldBits);
    test::SetModified(dest, test::Day(100));
  }

  test::TempFolder folder;
  const std::wstring source = folder.path() + L"nouveau.exe";
  const std::string newBits = test::Pattern(70000, 3);
  const std::string oldBits = test::Pattern(900, 4);
  Win32Platform platform;
  const CopyProgress ignore = [](std::uint64_t, std::uint64_t) {};
};

TEST_F(ReplaceTest, PathBeyondMaxPathIsInstalled) {
  // A destination of over 300 characters, and one within MAX_PATH whose
  // staging file's path alone passes it.
  std::wstring deep = LR"(\\?\)" + folder.path();
  std::vector<std::wstring> dests;
  for (int level = 0; level < 3; ++level) {
    deep += std::wstring(70, static_cast<wchar_t>(L'a' + level)) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    if (level == 1) dests.push_back(deep + std::wstring(250 - (deep.size() - 4), L'p'));
  }
  dests.push_back(deep + L"programme.exe");
  for (const std::wstring& dest : dests) {
    SCOPED_TRACE(dest.size() - 4);
    Prepare(dest);
    // As the user gives it: without the \\?\ form.
    const std::string given = Utf8(dest.substr(4));
    EXPECT_EQ(platform.FileAttributes(given) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    Replace(dest.substr(4));
    EXPECT_TRUE(test::HasBytes(dest, newBits));
    EXPECT_EQ(platform.FileModified(given), platform.FileModified(Utf8(source)));
  }
}

TEST_F(ReplaceTest, LongNameIsUpdatedWithAShortenedStagingName) {
  const std::wstring name = std::wstring(226, L'n') + L".exe";
  const std::wstring dest = folder.path() + name;
  Prepare(dest);
  {
    auto staged = platform.StageCopy(Utf8(source), Utf8(dest), ignore);
    for (const std::wstring& other : folder.Names()) {
      if (other == name || other == L"nouveau.exe") continue;
      EXPECT_LE(other.size(), 255u);
      EXPECT_EQ(other.rfind(name.substr(0, 200), 0), 0u);  // still recognisably its own
    }
    staged->Commit();
  }
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST(QuennelNames, FitAndAreRecognised) {
  for (size_t length : {1u, 100u, 226u, 227u, 255u}) {
    const std::wstring name(length, L'\u00e9');
    const std::wstring staging = QuennelName(name, Kind::Staging, RandomHex());
    const std::wstring aside = QuennelName(name, Kind::SetAside, RandomHex());
    EXPECT_LE(staging.size(), kMaxNameLength);
    EXPECT_TRUE(IsQuennelName(staging, name, Kind::Staging));
    EXPECT_FALSE(IsQuennelName(staging, name, Kind::SetAside));
    EXPECT_TRUE(IsQuennelName(aside, name, Kind::SetAside));
    EXPECT_FALSE(IsQuennelName(staging, name + L"x", Kind::Staging) && length < 226);
  }
}

TEST_F(ReplaceTest, AttributesAndAccessRulesAreKept) {
  const auto rules = [](const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                          nullptr, &descriptor);
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    std::wstring result = text ? text : L"";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
  };
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
                                 DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attributes);
    const std::wstring dest = folder.path() + L"prot\u00e9g\u00e9 " + std::to_wstring(attributes) + L".exe";
    Prepare(dest);
    // Everyone may read and run it, its owner may do everything; nothing inherited.
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FRFX;;;WD)",
                                                                     SDDL_REVISION_1, &wanted, nullptr));
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted);
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(dest.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl, nullptr),
              DWORD{ERROR_SUCCESS});
    LocalFree(wanted);
    ASSERT_TRUE(SetFileAttributesW(dest.c_str(), attributes));
    const std::wstring before = rules(dest);

    Replace(dest);
    EXPECT_TRUE(test::HasBytes(dest, newBits));
    EXPECT_EQ(GetFileAttributesW(dest.c_str()) & kKept, attributes);
    EXPECT_EQ(rules(dest), before);
  }
}

TEST_F(ReplaceTest, LinkedInstallReplacesWhatTheLinkNames) {
  const std::wstring real = folder.path() + L"version 2.1.exe";
  const std::wstring link = folder.path() + L"programme.exe";
  Prepare(real);
  // Wine 8 says yes to CreateSymbolicLinkW but makes nothing.
  if (!CreateSymbolicLinkW(link.c_str(), real.c_str(), 0) || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no symbolic links here";
  Replace(link);
  EXPECT_TRUE(test::HasBytes(real, newBits));
  EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

  // A dangling link is refused, and nothing appears where it points.
  const std::wstring nowhere = folder.path() + L"absent.exe";
  const std::wstring dangling = folder.path() + L"pendant.exe";
  ASSERT_TRUE(CreateSymbolicLinkW(dangling.c_str(), nowhere.c_str(), 0));
  EXPECT_THROW(Replace(dangling), PlatformError);
  EXPECT_EQ(GetFileAttributesW(nowhere.c_str()), INVALID_FILE_ATTRIBUTES);
}

/// A file system that keeps times in steps of `step` ticks, cut down.
struct CoarseStore {
  std::uint64_t step;
  std::uint64_t kept = 0;
  std::uint64_t operator()(std::uint64_t ticks) { return kept = ticks / step * step; }
};

TEST(FileTimes, CoarseFileSystemsKeepTheSmallestLaterTime) {
  constexpr std::uint64_t kSecond = 10'000'000;
  const std::uint64_t wanted = 13'000'000'000 * kSecond + 12'345'678;  // 1.2345678 s past a second
  const struct {
    const char* name;
    std::uint64_t step;
    std::uint64_t kept;
  } cases[] = {
      {"NTFS", 1, wanted},
      {"exFAT, 10 ms", 100'000, wanted - 12'345'678 + 12'400'000},
      {"seconds", kSecond, wanted - 12'345'678 + 2 * kSecond},
      {"FAT, 2 s", 2 * kSecond, wanted - 12'345'678 + 2 * kSecond},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CoarseStore store{c.step};
    EXPECT_EQ(KeepTimeAtLeast(wanted, std::ref(store)), c.kept);
    EXPECT_EQ(store.kept, c.kept);
  }
  // A time the file system keeps as it is is not moved.
  CoarseStore fat{2 * kSecond};
  EXPECT_EQ(KeepTimeAtLeast(100 * kSecond, std::ref(fat)), 100 * kSecond);
}

TEST(Refusals, OnlyWhatWillEndIsWaitedFor) {
  constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
  const struct {
    const char* name;
    DWORD rename, attributes, deleteOpen;
    Refusal expected;
  } cases[] = {
      {"running image", ERROR_ACCESS_DENIED, kFile, 0, Refusal::Running},
      {"open without delete sharing", ERROR_SHARING_VIOLATION, kFile, ERROR_SHARING_VIOLATION, Refusal::Busy},
      {"locked range", ERROR_LOCK_VIOLATION, kFile, ERROR_SHARING_VIOLATION, Refusal::Busy},
      {"permission refused", ERROR_ACCESS_DENIED, kFile, ERROR_ACCESS_DENIED, Refusal::Lasting},
      {"folder in the way", ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY, 0, Refusal::Lasting},
      {"disk full", ERROR_DISK_FULL, kFile, 0, Refusal::Lasting},
      {"gone meanwhile", ERROR_SHARING_VIOLATION, INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND, Refusal::Busy},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ClassifyRefusal(c.rename, c.attributes, c.deleteOpen), c.expected);
  }
}

TEST_F(ReplaceTest, LockHeldElsewhereIsBusyAndAKilledHolderFreesIt) {
  const std::wstring dest = folder.path() + L"verrou.exe";
  Prepare(dest);
  // Any spelling of the path names the same lock.
  const std::wstring target = ResolveTarget(dest);
  EXPECT_EQ(LockName(target), LockName(ResolveTarget(folder.path() + L"VERROU.EXE")));
  EXPECT_NE(LockName(target), LockName(ResolveTarget(source)));

  std::optional<test::Child> holder;
  holder.emplace(test::Child::Start(test::HelperPath(), L"--mutex Global\\" + LockName(target) + L" 30000", true));
  EXPECT_THROW(platform.LockDestination(Utf8(dest)), BusyError);
  holder.reset();  // killed: the system lets the lock go
  auto lock = platform.LockDestination(Utf8(dest));
  EXPECT_NE(lock, nullptr);
}

}  // namespace
}  // namespace quennel::win32
