/// The backend's pure rules: what a refusal means, how a long path is
/// started, the system's texts, text and times across the boundary, what
/// access lists allow, where a path's folders are.

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "platform/win32/AccessLists.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Rename.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Process.h"

namespace quennel::win32 {
namespace {

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

TEST(SystemText, OneLineOfTheSystemsOwnOrTheCode) {
  const std::string text = SystemText(ERROR_SHARING_VIOLATION);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(std::string_view("\r\n ").find(text.back()), std::string_view::npos);
  EXPECT_NE(text, SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SystemText(0x2FFFFFFF), "Erreur système 805306367.");
}

TEST(Text, CrossesTheBoundaryBothWays) {
  const struct {
    std::wstring wide;
    std::string utf8;
  } both[] = {
      {L"C:\\\u00e9 \u4e2d \U0001F600", "C:\\\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"},
      // Unpaired surrogates keep their three-byte form.
      {std::wstring{L'a', wchar_t(0xD800), L'b', wchar_t(0xDC01)}, "a\xED\xA0\x80" "b\xED\xB0\x81"},
  };
  for (const auto& c : both) {
    EXPECT_EQ(Utf8(c.wide), c.utf8);
    EXPECT_EQ(Wide(c.utf8), c.wide);
  }
  EXPECT_EQ(Wide("a\xC3\xC0\xAF"), L"a\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(CommandTailOf(L"\"C:\\Dossier \u00e9\\q.exe\"   \"\u00fc\"  \"b\" x\t"), "\"\xC3\xBC\"  \"b\" x\t");
  EXPECT_EQ(CommandTailOf(L"q.exe\t\"a\" \"b\""), "\"a\" \"b\"");
}

/// FILETIME's range comes out exactly, and goes back where SetFileTime
/// takes it (zero and all ones would leave a time as it is).
TEST(Times, AcrossTheWholeRange) {
  const struct {
    FILETIME time;
    FileStamp stamp;
    FILETIME back;
  } cases[] = {
      {{1, 0}, {-11'644'473'600, 100}, {1, 0}},
      {{0, 0}, {-11'644'473'600, 0}, {1, 0}},
      {{0xD53E8000u, 0x019DB1DEu}, {0, 0}, {0xD53E8000u, 0x019DB1DEu}},  // 1970
      {{0xFFFFFFFFu, 0xFFFFFFFFu}, {1'833'029'933'770, 955'161'500}, {0xFFFFFFFFu, 0x7FFFFFFFu}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StampOf(c.time), c.stamp);
    const FILETIME back = FileTimeOf(c.stamp);
    EXPECT_EQ(CompareFileTime(&back, &c.back), 0) << back.dwHighDateTime << " " << back.dwLowDateTime;
  }
}

TEST(ChangeTime, NoneOnFatOrExFat) {
  for (const auto& [name, keeps] : {std::pair{L"NTFS", true}, {L"FAT", false}, {L"fat32", false}, {L"exFAT", false}})
    EXPECT_EQ(KeepsChangeTime(name), keeps) << Utf8(name);
}

TEST(Folders, FromTheVolumesRootDown) {
  using Levels = std::vector<std::wstring>;
  EXPECT_EQ(FolderLevels(LR"(\\?\C:\a\b\)"), (Levels{LR"(\\?\C:\)", LR"(\\?\C:\a)", LR"(\\?\C:\a\b)"}));
  EXPECT_EQ(FolderLevels(LR"(\\?\UNC\srv\part\a)"), (Levels{LR"(\\?\UNC\srv\part\)", LR"(\\?\UNC\srv\part\a)"}));
  EXPECT_EQ(ParentFolder(LR"(\\?\C:\a\)"), LR"(\\?\C:\)");
  EXPECT_EQ(ParentFolder(LR"(\\?\C:\)"), std::nullopt);
  EXPECT_EQ(ParentFolder(LR"(\\?\UNC\srv\part\)"), std::nullopt);
}

constexpr const wchar_t* kRunner = L"S-1-5-21-1-2-3-1001";
constexpr const wchar_t* kOther = L"S-1-5-21-1-2-3-1003";

/// A security descriptor written in SDDL; none for the empty text.
Descriptor Built(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!sddl.empty())
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made, nullptr);
  EXPECT_EQ(made != nullptr, !sddl.empty()) << Utf8(sddl);
  return Descriptor(made);
}

Descriptor TestRunner() {
  PSID sid = nullptr;
  ConvertStringSidToSidW(kRunner, &sid);
  return Descriptor(sid);
}

TEST(TrustGuard, OnlyTrustedAccountsMayChangeIt) {
  const Descriptor runner = TestRunner();
  Accounts trusted = SystemAccounts();
  trusted.Add(runner.get());
  const std::wstring rules = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", parent = L"O:BA" + rules;
  const struct {
    const char* name;
    std::wstring object, parent;
    bool folder;
    Guard expected;
  } cases[] = {
      {"Administrators'", L"O:BA" + rules, parent, false, Guard::Safe},
      {"SYSTEM's", L"O:SY" + rules, parent, true, Guard::Safe},
      {"the installer service's", L"O:" + std::wstring(kTrustedInstaller) + rules, parent, false, Guard::Safe},
      {"the runner's", L"O:" + std::wstring(kRunner) + rules, parent, false, Guard::Safe},
      {"another user's", L"O:" + std::wstring(kOther) + rules, parent, false, Guard::Unsafe},
      {"Users may delete it", L"O:BA" + rules + L"(A;;SD;;;BU)", parent, false, Guard::Unsafe},
      {"Users may delete in its folder", L"O:BA" + rules, parent + L"(A;;0x40;;;BU)", true, Guard::Unsafe},
      {"Everyone may change its list", L"O:BA" + rules + L"(A;;WD;;;WD)", parent, true, Guard::Unsafe},
      {"Users may do anything", L"O:BA" + rules + L"(A;;GA;;;BU)", parent, true, Guard::Unsafe},
      {"Users may write it", L"O:BA" + rules + L"(A;;GW;;;BU)", parent, false, Guard::Unsafe},
      {"only for what it holds", L"O:BA" + rules + L"(A;OICIIO;FA;;;BU)", parent, true, Guard::Safe},
      {"a denial", L"O:BA" + rules + L"(D;;FA;;;BU)", parent, false, Guard::Safe},
      {"no list: open to all", L"O:BA", parent, false, Guard::Unsafe},
      // Authenticated Users may add files and folders to C:\ .
      {"C:\\-like", L"O:SYD:(A;OICIIO;SDGXGWGR;;;AU)(A;;0x6;;;AU)(A;OICI;FA;;;BA)", L"", true, Guard::Safe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GuardOfRules(Built(c.object).get(), Built(c.parent).get(), c.folder, trusted), c.expected);
  }
}

/// The accounts a lock file's list denies (-) and allows (+), in order.
std::wstring Listed(const LockRules& rules) {
  std::wstring listed;
  const auto* acl = reinterpret_cast<const ACL*>(rules.list.data());
  for (DWORD k = 0; k < acl->AceCount; ++k) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    GetAce(const_cast<ACL*>(acl), k, reinterpret_cast<void**>(&ace));
    listed += (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ? L"-" : L"+") + SidText(&ace->SidStart) +
              (ace->Mask == kLockRights ? L" " : L"! ");
  }
  return listed;
}

/// Who may replace the program (its list, its folder's) may hold its lock.
TEST(LockRules, ThoseWhoMayReplaceTheProgram) {
  const Descriptor runner = TestRunner();
  const std::wstring base = L"+" + std::wstring(kRunner) + L" +S-1-5-32-544 +S-1-5-18 ", users = L"+S-1-5-32-545 ";
  const std::wstring rules = L"O:BAD:P(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  const struct {
    const char* name;
    std::wstring program, folder, listed;
  } cases[] = {
      {"only its owners", rules, rules, base},
      {"Users may change it", rules + L"(A;;0x1301bf;;;BU)", rules, base + users},
      {"Users may write it", rules + L"(A;;GW;;;BU)", rules, base + users},
      {"Users may change its list", rules + L"(A;;WD;;;BU)", rules, base + users},
      {"Users may delete in its folder", rules, rules + L"(A;;0x40;;;BU)", base + users},
      {"Users may only create in its folder", rules, rules + L"(A;;0x6;;;BU)", base},
      {"only for what it holds", rules + L"(A;OICIIO;FA;;;BU)", rules, base},
      {"a denial", rules + L"(D;;SD;;;" + kOther + L")(A;;SD;;;BU)", rules,
       L"-" + std::wstring(kOther) + L" " + base + users},
      {"first install: the folder alone", L"", rules + L"(A;;FA;;;BU)", base + users},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Listed(DeriveLockRules(Built(c.program).get(), Built(c.folder).get(), runner.get())), c.listed);
  }
  // A lock file is trusted where its owner and all it lets in are among them.
  const Accounts admitted = DeriveLockRules(Built(rules + L"(A;;SD;;;BU)").get(), nullptr, runner.get()).admitted;
  const std::pair<std::wstring, bool> files[] = {
      {L"O:BUD:P(A;;0x13019f;;;BU)(A;;0x120080;;;WD)(D;;FA;;;WD)", true},
      {L"O:" + std::wstring(kOther) + L"D:P(A;;FA;;;BU)", false},
      {L"O:BUD:P(A;;FR;;;AU)", false},
      {L"O:BU", false},
  };
  for (const auto& [sddl, trusted] : files) EXPECT_EQ(LockTrusted(Built(sddl).get(), admitted), trusted) << Utf8(sddl);
}

}  // namespace
}  // namespace quennel::win32
