/// The Windows replacement's own rules: long paths and names, what the new
/// file keeps, the lock, and which refusals are worth waiting for.

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

/// The access list of `path`, as text.
std::wstring Rules(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor);
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                       nullptr);
  std::wstring result = text ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

/// Gives `path` the owner (with OWNER_SECURITY_INFORMATION in `more`) and
/// access list of `sddl`; the system's error code.
DWORD SetRules(const std::wstring& path, const wchar_t* sddl, SECURITY_INFORMATION more) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    return GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | more, owner, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return error;
}

class ReplaceTest : public testing::Test {
protected:
  /// Stages and commits `source` over `dest` under the lock, as a run does.
  void Replace(const std::wstring& dest) {
    auto lock = platform.LockDestination(Utf8(dest));
    platform.StageCopy(Utf8(source), Utf8(dest), test::kNoProgress)->Commit(RunningProgram::Wait);
  }
  void Prepare(const std::wstring& dest) {
    test::WriteDated(source, newBits, 200);
    test::WriteDated(dest, oldBits, 100);
  }

  test::TempFolder folder;
  const std::wstring source = folder.path() + L"nouveau.exe";
  const std::string newBits = test::Pattern(70000, 3);
  const std::string oldBits = test::Pattern(900, 4);
  Win32Platform platform;
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
    EXPECT_FALSE(platform.Stat(given).folder);
    Replace(dest.substr(4));
    EXPECT_TRUE(test::HasBytes(dest, newBits));
    EXPECT_EQ(platform.Stat(given).modified, platform.Stat(Utf8(source)).modified);
  }
}

TEST_F(ReplaceTest, LongNamesSharingTheirStartKeepTheirOwnFiles) {
  // Too long to go whole into a name of Quennel's; their first 226 characters are the same.
  const std::wstring first = std::wstring(226, L'n') + L"1.exe", second = std::wstring(226, L'n') + L"2.exe";
  Prepare(folder.path() + first);
  test::WriteBytes(folder.path() + second, oldBits);
  const std::wstring ours = QuennelName(first, Kind::Staging, RandomHex());
  const std::wstring theirs = QuennelName(second, Kind::SetAside, RandomHex());
  for (const std::wstring& left : {ours, theirs}) test::WriteBytes(folder.path() + left, "reste");

  Replace(folder.path() + first);
  ClearLeftovers(ResolveTarget(folder.path() + first), test::AnHourOn());
  EXPECT_TRUE(test::HasBytes(folder.path() + first, newBits));
  EXPECT_TRUE(test::HasBytes(folder.path() + second, oldBits));
  EXPECT_EQ(folder.Names(L".quennel~"), (std::vector<std::wstring>{LockFileName(first), theirs}));
}

TEST_F(ReplaceTest, AttributesAndAccessRulesAreKept) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
                                 DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attributes);
    const std::wstring dest = folder.path() + L"prot\u00e9g\u00e9 " + std::to_wstring(attributes) + L".exe";
    Prepare(dest);
    // Everyone may read and run it, its owner may do everything; nothing inherited.
    ASSERT_EQ(SetRules(dest, L"D:P(A;;FA;;;OW)(A;;FRFX;;;WD)", PROTECTED_DACL_SECURITY_INFORMATION),
              DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(SetFileAttributesW(dest.c_str(), attributes));
    const std::wstring before = Rules(dest);

    Replace(dest);
    EXPECT_TRUE(test::HasBytes(dest, newBits));
    EXPECT_EQ(GetFileAttributesW(dest.c_str()) & kKept, attributes);
    EXPECT_EQ(Rules(dest), before);
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
  EXPECT_EQ(platform.LockDestination(Utf8(dangling)), nullptr);
  EXPECT_THROW(Replace(dangling), PlatformError);
  EXPECT_EQ(GetFileAttributesW(nowhere.c_str()), INVALID_FILE_ATTRIBUTES);
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

TEST_F(ReplaceTest, LockFileIsOneForEverySpellingOnlyForReplacersAndAKillFreesIt) {
  const std::wstring dest = folder.path() + L"verrou.exe";
  const std::wstring lockFile = folder.path() + L"verrou.exe.quennel~lock";
  Prepare(dest);
  platform.LockDestination(Utf8(dest));
  // Left in place for the next run, hidden, and open to nobody but those
  // who may replace the program: whoever can open it can lock it.
  EXPECT_NE(GetFileAttributesW(lockFile.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  const std::wstring rules = Rules(lockFile);
  for (const wchar_t* anyone : {L";WD)", L";BU)", L";AU)", L";IU)"})
    EXPECT_EQ(rules.find(anyone), std::wstring::npos) << Utf8(rules);

  std::optional<test::Child> holder;
  holder.emplace(test::Child::Start(test::HelperPath(), L"--lock \"" + lockFile + L"\" 30000", true));
  EXPECT_THROW(platform.LockDestination(Utf8(folder.path() + L"VERROU.EXE")), BusyError);
  // Between the holder's two renames its program answers to no 8.3 alias:
  // a name that leads nowhere then waits rather than take a lock of its own.
  const std::wstring alias = folder.path() + L"VERROU~1.EXE";
  ASSERT_TRUE(MoveFileW(dest.c_str(), (folder.path() + QuennelName(L"verrou.exe", Kind::SetAside, RandomHex())).c_str()));
  EXPECT_THROW(platform.LockDestination(Utf8(alias)), BusyError);
  EXPECT_EQ(GetFileAttributesW((alias + L".quennel~lock").c_str()), INVALID_FILE_ATTRIBUTES);
  holder.reset();  // killed: the system lets the lock go
  EXPECT_NE(platform.LockDestination(Utf8(alias)), nullptr);  // a copy stranded aside is no rename under way
  EXPECT_NE(platform.LockDestination(Utf8(dest)), nullptr);

}

/// Which lock file another run made is a lock: one only those who may
/// replace the program own and may use.
TEST(LockTrust, OnlyReplacersOwnOrUseIt) {
  const std::wstring runner = L"S-1-5-21-1-2-3-1001", folderOwner = L"S-1-5-21-1-2-3-1002",
                     other = L"S-1-5-21-1-2-3-1003";
  PSID runnerSid = nullptr, folderOwnerSid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(runner.c_str(), &runnerSid) &&
              ConvertStringSidToSidW(folderOwner.c_str(), &folderOwnerSid));
  const struct {
    const char* name;
    std::wstring sddl;
    bool trusted;
  } cases[] = {
      {"made by a run", L"O:" + runner + L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;" + runner + L")", true},
      {"the folder owner's", L"O:" + folderOwner + L"D:(A;;FA;;;" + folderOwner + L")", true},
      {"others may only look", L"O:BAD:(A;;FA;;;BA)(A;;0x120080;;;WD)", true},
      {"planted, open to everyone", L"O:BUD:(A;;FA;;;WD)", false},
      {"owned by another user", L"O:" + other + L"D:(A;;FA;;;BA)", false},
      {"users may read it", L"O:" + runner + L"D:(A;;FA;;;" + runner + L")(A;;FR;;;BU)", false},
      {"no access list: open to everyone", L"O:" + runner, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    EXPECT_EQ(TrustedLockRules(owner, dacl, runnerSid, folderOwnerSid), c.trusted);
    LocalFree(descriptor);
  }
  LocalFree(runnerSid);
  LocalFree(folderOwnerSid);
}

/// Past MAX_PATH the system takes no application name but a short one.
TEST(StartName, ShortFormOnlyWhereTheWholePathWouldNotDo) {
  const std::wstring deep = L"C:\\" + std::wstring(290, L'a') + L".exe";
  const struct {
    const char* name;
    std::wstring program, shortForm;
    std::optional<std::wstring> chosen;
  } cases[] = {
      {"short enough as it is", L"C:\\apps\\prog.exe", L"C:\\APPS\\PROG.EXE", L"C:\\apps\\prog.exe"},
      {"259 characters", std::wstring(259, L'p'), L"P~1", std::wstring(259, L'p')},
      {"260 characters: its short form", std::wstring(260, L'p'), L"P~1", L"P~1"},
      {"extended short form", deep, L"\\\\?\\C:\\AAAAAA~1.EXE", L"C:\\AAAAAA~1.EXE"},
      {"short form on a share", deep, L"\\\\?\\UNC\\srv\\pub\\AAAAAA~1.EXE", L"\\\\srv\\pub\\AAAAAA~1.EXE"},
      {"no short names on the volume", deep, L"", std::nullopt},
      {"short form still too long", deep, L"C:\\" + std::wstring(257, L's'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ApplicationName(c.program, [&](const std::wstring&) { return c.shortForm; }), c.chosen);
  }
}

}  // namespace
}  // namespace quennel::win32
