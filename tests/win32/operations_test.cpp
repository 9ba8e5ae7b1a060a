/// The backend's operations on real files, each as the driver calls it.

#include <windows.h>
#include <sddl.h>

#include <algorithm>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Lock.h"
#include "platform/win32/Win32Process.h"
#include "tests/win32/Support.h"
#include "update/OwnNames.h"

namespace quennel::test {
namespace {

using win32::Handle;
using win32::Wide;

class Operations : public InstallTest {
protected:
  std::unique_ptr<Place> Here() { return files.Resolve(Utf8(installed), false); }
  /// A new file beside the program holding the new version, closed for writing.
  std::unique_ptr<NewFile> Staged(Place& place) {
    auto file = place.Create(place.Name() + ".quennel~0000000000000001.tmp");
    file->Write(reinterpret_cast<const unsigned char*>(newBits.data()), newBits.size());
    file->TakeProgramIdentity(files.Stat(Utf8(source)));
    file->CloseForWriting();
    return file;
  }
  /// The lock the driver takes for `path`.
  std::unique_ptr<HeldLock> LockOf(const std::wstring& path) {
    auto place = files.Resolve(Utf8(path), false);
    return place->Lock(LockFileName(place->Name(), files.Names()));
  }
  const std::wstring prefix = installed + L".quennel~";
};

TEST_F(Operations, CreateIsExclusiveAndGuardsItsFileUntilDiscarded) {
  auto place = Here();
  auto file = place->Create("copie.tmp");
  EXPECT_THROW(place->Create("copie.tmp"), ExistsError);
  EXPECT_THROW(place->Create(place->Name()), ExistsError);
  // Another run's clean-up cannot take it while it is written.
  EXPECT_FALSE(DeleteFileW((folder.path() + L"copie.tmp").c_str()));
  EXPECT_FALSE(file->CopyFrom(*files.OpenSource(Utf8(source)), 100).has_value());
  file->Write(reinterpret_cast<const unsigned char*>("abcdef"), 6);
  unsigned char read[2] = {};
  EXPECT_EQ(file->ReadAt(1, read, 2), 2u);
  EXPECT_EQ(std::string(read, read + 2), "bc");
  file->Write(reinterpret_cast<const unsigned char*>("gh"), 2);  // on at the end
  EXPECT_EQ(file->Status().size, 8u);
  file->Discard();
  EXPECT_FALSE(Exists(folder.path() + L"copie.tmp"));
}

TEST_F(Operations, StatusesOfOneFileAgreeAndReadsKeepWritersOut) {
  const auto opened = files.OpenSource(Utf8(source));
  const FileStatus status = opened->Status(), fresh = files.StatFresh(Utf8(source)), cheap = files.Stat(Utf8(source));
  EXPECT_NE(status.id, FileId{});
  EXPECT_NE(status.changed, FileStamp{});
  EXPECT_EQ(status.id, fresh.id);
  EXPECT_EQ(status.changed, fresh.changed);
  // Day 200 of 2001, 995,587,200 s after 1970.
  for (const FileStatus& each : {status, fresh, cheap}) {
    EXPECT_EQ(each.modified, (FileStamp{995'587'200, 0}));
    EXPECT_EQ(each.size, newBits.size());
  }
  EXPECT_TRUE(files.Stat(Utf8(folder.path())).folder());
  // Nobody writes the new version while it is copied.
  EXPECT_EQ(CreateFileW(source.c_str(), GENERIC_WRITE, win32::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  // A touch while it is open shows.
  const Handle touch(
      CreateFileW(source.c_str(), FILE_WRITE_ATTRIBUTES, win32::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  const FILETIME later{0, 0x01D00000};
  ASSERT_TRUE(SetFileTime(touch.get(), nullptr, nullptr, &later));
  EXPECT_EQ(opened->Status().modified, files.StatFresh(Utf8(source)).modified);
  EXPECT_NE(opened->Status().modified, status.modified);
  std::string bytes(newBits.size() + 1, '\0');
  size_t got = 0;
  for (size_t n; (n = opened->Read(reinterpret_cast<unsigned char*>(bytes.data()) + got, bytes.size() - got)) > 0;)
    got += n;
  EXPECT_EQ(bytes.substr(0, got), newBits);

  EXPECT_EQ(Raised([&] { files.Stat(Utf8(folder.path() + L"absent \u00e9.exe")); }),
            "failed: " + win32::SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_THROW(files.OpenSource(Utf8(source + L".absent")), MissingError);
  // Beside the program: what the file system keeps of a time, to its 100 ns.
  const auto place = Here();
  EXPECT_EQ(place->Open(place->Name())->Status().id, files.StatFresh(Utf8(installed)).id);
  EXPECT_PRED2(Is, Raised([&] { place->Open("absent"); }), "missing");
  EXPECT_EQ(place->SetTime(place->Name(), {1'000'000'000, 123'456'789}), (FileStamp{1'000'000'000, 123'456'700}));
  EXPECT_THROW(files.Resolve(Utf8(folder.path() + L"absent\\q.exe"), false), PlatformError);
  EXPECT_THROW(files.ReadSmall(Utf8(source + L".minisig"), 100), MissingError);
  EXPECT_THROW(files.ReadSmall(Utf8(source), newBits.size() - 1), PlatformError);
  EXPECT_EQ(files.ReadSmall(Utf8(source), newBits.size()), newBits);
}

TEST_F(Operations, MoveToTellsWhatStandsInTheWay) {
  ASSERT_TRUE(CreateDirectoryW((folder.path() + L"dossier.exe").c_str(), nullptr));
  auto place = Here();
  auto staged = Staged(*place);
  const auto move = [&](const std::string& name, bool replace) {
    return Raised([&] { staged->MoveTo(name, replace); });
  };
  {
    Child running = RunProgram(installed, 60000);
    EXPECT_PRED2(Is, move(place->Name(), true), "running");
  }
  {
    Child holder = HoldFile(installed, 60000);
    EXPECT_PRED2(Is, move(place->Name(), true), "busy");
  }
  EXPECT_PRED2(Is, move("dossier.exe", true), "failed");  // a folder never goes by waiting
  EXPECT_PRED2(Is, move(place->Name(), false), "exists");
  EXPECT_TRUE(HasBytes(installed, oldBits));
  staged->MoveTo(place->Name(), true);
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_EQ(NamesIn(folder.path()).size(), 1u);
}

TEST_F(Operations, SetAsideMovesARunningProgramAndPutsItBack) {
  std::optional<Child> running;
  running.emplace(RunProgram(installed, 60000));
  auto place = Here();
  const std::string aside = place->Name() + ".quennel~00000000000000aa.old";
  WriteBytes(folder.path() + L"pris.old", "x");
  EXPECT_THROW(place->SetAside("pris.old"), ExistsError);
  EXPECT_TRUE(place->SetAside(aside)->PutBack());
  EXPECT_TRUE(HasBytes(installed, oldBits));

  auto moved = place->SetAside(aside);
  EXPECT_FALSE(Exists(installed));
  Staged(*place)->MoveTo(place->Name(), false);
  moved->DeleteWhenUnused();  // it still runs: it stays
  moved.reset();
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_TRUE(HasBytes(folder.path() + Wide(aside), oldBits));
  EXPECT_FALSE(running->Wait(0ms).has_value());
  EXPECT_FALSE(place->PutBack(aside));  // never over a file
  running.reset();
  ASSERT_TRUE(DeleteFileW(installed.c_str()));
  EXPECT_TRUE(place->PutBack(aside));
  EXPECT_TRUE(HasBytes(installed, oldBits));
  // Nothing runs it: it goes at once.
  moved = place->SetAside(aside);
  Staged(*place)->MoveTo(place->Name(), false);
  moved->DeleteWhenUnused();
  moved.reset();
  std::vector<std::wstring> names = NamesIn(folder.path());
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::wstring>{installed.substr(folder.path().size()), L"pris.old"}));
}

TEST(Process, StartsExactlyAndSaysWhatIsMissing) {
  win32::Win32Process process;
  EXPECT_EQ(Raised([&] { process.StartProgram(Utf8(ProgramFolder() + L"absent.exe"), ""); }),
            "missing: " + win32::SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(process.ExecutablePath().ends_with("\\win32_tests.exe")) << process.ExecutablePath();
  EXPECT_NE(process.RandomNumber(), process.RandomNumber());
}

TEST_F(Operations, ListedFilesAreRemovedOnlyWhileTheirNameLeadsToThem) {
  auto place = Here();
  WriteBytes(prefix + L"1.tmp", "a");
  WriteBytes(folder.path() + L"autre", "b");
  ASSERT_TRUE(CreateDirectoryW((prefix + L"2").c_str(), nullptr));
  WriteBytes(prefix + L"3.old", oldBits);
  Child running = RunProgram(prefix + L"3.old", 60000);
  ASSERT_TRUE(SetFileAttributesW((prefix + L"3.old").c_str(), FILE_ATTRIBUTE_READONLY));
  auto found = place->List(place->Name() + ".quennel~");
  std::ranges::sort(found, {}, &FoundFile::name);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].status.kind, FileKind::Regular);
  EXPECT_EQ(found[0].status.owner, files.Runner());
  EXPECT_NE(found[0].status.changed, FileStamp{});
  EXPECT_EQ(found[1].status.kind, FileKind::Folder);

  // Another file took the name meanwhile: it stays.
  ASSERT_TRUE(MoveFileExW((folder.path() + L"autre").c_str(), (prefix + L"1.tmp").c_str(), MOVEFILE_REPLACE_EXISTING));
  place->Remove(found[0]);
  EXPECT_TRUE(HasBytes(prefix + L"1.tmp", "b"));
  for (const FoundFile& each : place->List(place->Name() + ".quennel~")) place->Remove(each);
  EXPECT_FALSE(Exists(prefix + L"1.tmp"));
  // A running program cannot go: it stays as it was.
  EXPECT_EQ(GetFileAttributesW((prefix + L"3.old").c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
  SetFileAttributesW((prefix + L"3.old").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Operations, LockIsOneForEverySpellingOnlyForReplacersAndAKillFreesIt) {
  const std::wstring lockFile = prefix + L"lock";
  {
    auto lock = LockOf(installed);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->Stamp("42\n").has_value());
  }
  // Left in place for the next run, hidden, and open to nobody but those
  // who may replace the program: whoever can open it can lock it.
  EXPECT_TRUE(HasBytes(lockFile, "42\n"));
  EXPECT_NE(GetFileAttributesW(lockFile.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  const std::wstring rules = Rules(lockFile);
  for (const wchar_t* anyone : {L";WD)", L";BU)", L";AU)", L";IU)"})
    EXPECT_EQ(rules.find(anyone), std::wstring::npos) << Utf8(rules);
  // Only a lone file is a lock: never another name of a file, nor a folder.
  const std::wstring other = folder.path() + L"autre";
  WriteBytes(other, "x");
  ASSERT_TRUE(DeleteFileW(lockFile.c_str()) && CreateHardLinkW(lockFile.c_str(), other.c_str(), nullptr));
  EXPECT_EQ(LockOf(installed), nullptr);
  ASSERT_TRUE(DeleteFileW(lockFile.c_str()) && CreateDirectoryW(lockFile.c_str(), nullptr));
  EXPECT_EQ(LockOf(installed), nullptr);
  EXPECT_TRUE(HasBytes(other, "x"));
  ASSERT_TRUE(RemoveDirectoryW(lockFile.c_str()));

  std::optional<Child> holder;
  holder.emplace(Child::Start(HelperPath(), L"--lock \"" + lockFile + L"\" 30000", true));
  std::wstring upper = installed;
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_THROW(LockOf(upper), BusyError);
  // Between the holder's two renames its program answers to no 8.3 alias:
  // a name that leads nowhere then waits rather than take a lock of its own.
  const std::wstring alias = folder.path() + L"PROGRA~1.EXE";
  ASSERT_TRUE(MoveFileW(installed.c_str(), (prefix + L"00000000000000aa.old").c_str()));
  EXPECT_THROW(LockOf(alias), BusyError);
  EXPECT_FALSE(Exists(alias + L".quennel~lock"));
  holder.reset();  // killed: the system lets the lock go
  EXPECT_NE(LockOf(alias), nullptr);  // a copy stranded aside is no rename under way
  EXPECT_NE(LockOf(installed), nullptr);
}

TEST_F(Operations, TrustedKeysAreBelievedOnlyWhereOnlyTheirOwnersMayChangeThem) {
  const std::wstring keys = folder.path() + L"cl\u00e9s\\";
  ASSERT_TRUE(CreateDirectoryW(keys.c_str(), nullptr) && CreateDirectoryW((keys + L"dossier").c_str(), nullptr));
  WriteBytes(keys + L"a.pub", "cle");
  WriteBytes(keys + L"b.pub", "autre");
  SetRules(keys + L"a.pub", L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  SetRules(keys + L"b.pub", L"D:P(A;;FA;;;WD)");
  const GuardedText read = files.ReadGuarded(Utf8(keys + L"a.pub"), 3);
  EXPECT_EQ(read.text, "cle");
  EXPECT_EQ(read.guard, Guard::Safe);
  EXPECT_EQ(files.ReadGuarded(Utf8(keys + L"b.pub"), 100).guard, Guard::Unsafe);
  EXPECT_EQ(files.Examine(Utf8(keys + L"b.pub")), Guard::Unsafe);
  EXPECT_EQ(files.Examine(Utf8(keys + L"absent")), std::nullopt);
  EXPECT_THROW(files.ReadGuarded(Utf8(keys + L"absent"), 100), MissingError);
  EXPECT_THROW(files.ReadGuarded(Utf8(keys + L"a.pub"), 2), PlatformError);
  std::vector<std::string> names = files.ListFiles(Utf8(keys));
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::string>{"a.pub", "b.pub"}));
  EXPECT_THROW(files.ListFiles(Utf8(keys + L"absent")), MissingError);
  EXPECT_EQ(files.TrustPlaces().list, Utf8(ProgramFolder() + L"trusted-keys.txt"));
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
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    EXPECT_EQ(win32::TrustedLockRules(owner, dacl, runnerSid, folderOwnerSid), c.trusted);
    LocalFree(descriptor);
  }
  LocalFree(runnerSid);
  LocalFree(folderOwnerSid);
}

}  // namespace
}  // namespace quennel::test
