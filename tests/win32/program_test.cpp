/// quennel.exe itself, started as a shortcut would start it, and what it
/// carries: the event source's registration, its version record, its icon.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/win32/Support.h"
#include "window/Icon.h"

namespace quennel::test {
namespace {

class Program : public InstallTest {};

TEST_F(Program, ExitStatusAndWhatTheProgramIsStartedWith) {
  const std::wstring q = L"\"" + source + L"\" \"" + installed + L"\"";
  const std::wstring bare = installed.substr(0, installed.size() - 4),
                     odd{L'a', wchar_t(0xD800), L'b', wchar_t(0xDFFF)};
  const std::wstring missing = folder.path() + L"absent.exe";
  const struct {
    const char* name;
    std::wstring arguments;
    DWORD status;
    std::wstring started;  // the start recorded, none when empty
  } cases[] = {
      {"first install", q + L" a \"b c\"", kExitStarted, L"\"" + installed + L"\" a \"b c\""},
      {"up to date, blanks kept", q + L"  /x  y", kExitStarted, L"\"" + installed + L"\" /x  y (~!~)"},
      {"unpaired surrogates", q + L" " + odd, kExitStarted, L"\"" + installed + L"\" " + odd + L" (~!~)"},
      {"no dot: .EXE", L"\"" + source + L"\" \"" + bare + L"\"", kExitStarted, L"\"" + bare + L".EXE\"  (~!~)"},
      {"no paths", L"", kExitUsage, L""},
      {"an empty path", L"\"" + source + L"\" \"\"", kExitUsage, L""},
      {"nothing to start", L"\"" + missing + L"\" \"" + missing + L"\"", kExitFailure, L""},
  };
  ASSERT_TRUE(DeleteFileW(installed.c_str()));
  size_t starts = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (bare.find(L'.') != std::wstring::npos && c.started.find(L".EXE") != std::wstring::npos) continue;
    EXPECT_EQ(Child::Start(QuennelPath(), c.arguments, false).Wait(60s), c.status);
    if (!c.started.empty()) {
      EXPECT_EQ(AwaitStarts(installed, ++starts).back(), c.started);
    }
  }
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_EQ(Starts(installed).size(), starts);
}

/// Alone, the option names quennel.exe's message table for the Event
/// Viewer; the other one takes it away.
TEST(EventSource, RegistrationNamesTheProgramsMessageTable) {
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quennel";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  EXPECT_EQ(Child::Start(QuennelPath(), L"--register-event-source ", false).Wait(60s), DWORD{0});
  std::wstring file(32'768, L'\0');
  DWORD types = 0, size = static_cast<DWORD>(file.size() * sizeof(wchar_t)), typesSize = sizeof types;
  RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file.data(),
               &size);
  RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &typesSize);
  EXPECT_EQ(file.c_str(), QuennelPath());
  EXPECT_EQ(types, DWORD{EVENTLOG_INFORMATION_TYPE | EVENTLOG_WARNING_TYPE});
  // Refused (a box, 1) while the key holds another, which Windows does not
  // delete; not an option but alone (a malformed update, 2); then it goes,
  // however quoted, and is gone again.
  HKEY opened = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + std::wstring(L"\\autre")).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                  &opened, nullptr);
  RegCloseKey(opened);
  const std::pair<const wchar_t*, DWORD> runs[] = {{L"--unregister-event-source", 1},
                                                   {L"--unregister-event-source x", 2},
                                                   {L" \"--unregister-event-source\" ", 0},
                                                   {L"--unregister-event-source", 0}};
  for (const auto& [arguments, status] : runs) {
    if (status == 0) RegDeleteKeyW(HKEY_LOCAL_MACHINE, (key + std::wstring(L"\\autre")).c_str());
    EXPECT_EQ(Child::Start(QuennelPath(), arguments, false).Wait(60s), status) << Utf8(arguments);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened),
              status ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    RegCloseKey(opened);
  }
}

TEST(Resources, VersionRecordIsFiveZeroZeroElevenInFrench) {
  const DWORD size = GetFileVersionInfoSizeW(QuennelPath().c_str(), nullptr);
  std::vector<char> data(size);
  ASSERT_TRUE(size > 0 && GetFileVersionInfoW(QuennelPath().c_str(), 0, size, data.data()));
  const auto value = [&](const std::wstring& key) -> std::wstring {
    void* found = nullptr;
    UINT length = 0;
    return VerQueryValueW(data.data(), key.c_str(), &found, &length) && found ? static_cast<const wchar_t*>(found)
                                                                              : L"<absent>";
  };
  VS_FIXEDFILEINFO* fixed = nullptr;
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00050000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Bu);
  ASSERT_TRUE(
      VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  EXPECT_EQ(translation[0], 0x040C);
  EXPECT_EQ(translation[1], 0x04B0);
  const std::wstring strings = L"\\StringFileInfo\\040C04B0\\";
  EXPECT_EQ(value(strings + L"FileVersion"), L"5.00.0011");
  EXPECT_EQ(value(strings + L"ProductName"), L"Quennel");
  EXPECT_EQ(value(strings + L"OriginalFilename"), L"Quennel.exe");
}

TEST(Resources, FirstIconIsTheDesignedPicture) {
  HMODULE module = LoadLibraryExW(QuennelPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  const auto resource = [&](WORD id, WORD type) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
    return info ? static_cast<const BYTE*>(LockResource(LoadResource(module, info))) : nullptr;
  };
  // GRPICONDIR: reserved, type, count; then 14-byte entries ending in the icon's id.
  const BYTE* group = resource(1, 14 /* RT_GROUP_ICON */);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group[4] | group[5] << 8, 1);
  EXPECT_EQ(group[6], icon::kSize);
  const BYTE* image = resource(static_cast<WORD>(group[6 + 12] | group[6 + 13] << 8), 3 /* RT_ICON */);
  ASSERT_NE(image, nullptr);
  BITMAPINFOHEADER header;
  std::memcpy(&header, image, sizeof header);
  ASSERT_EQ(header.biWidth, icon::kSize);
  ASSERT_EQ(header.biBitCount, 4);
  const BYTE* palette = image + header.biSize;
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(static_cast<std::uint32_t>(palette[4 * k + 2] << 16 | palette[4 * k + 1] << 8 | palette[4 * k]),
              icon::kPalette[k])
        << "colour " << k;
  const BYTE* bits = palette + 64;
  int wrong = 0;
  for (int y = 0; y < icon::kSize; ++y) {
    const BYTE* row = bits + 16 * (icon::kSize - 1 - y);  // bottom-up
    for (int x = 0; x < icon::kSize; ++x)
      wrong += (x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 0xF) != icon::IndexAt(x, y);
  }
  EXPECT_EQ(wrong, 0);
  const BYTE* mask = bits + 16 * icon::kSize;
  EXPECT_EQ(std::count(mask, mask + 4 * icon::kSize, 0), 4 * icon::kSize);  // opaque
  FreeLibrary(module);
}

}  // namespace
}  // namespace quennel::test
