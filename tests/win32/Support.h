#pragma once
/// Files, folders and child processes for the Windows backend's tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace quennel::test {

/// A fresh folder under %TEMP% whose name has a space and non-ASCII letters
/// (é, ü, 中); removed with its contents at the end.
class TempFolder {
public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  /// The folder with a trailing backslash.
  const std::wstring& path() const { return path_; }
  /// Names of the files in it that contain `part` (".quennel~": Quennel's own).
  std::vector<std::wstring> Names(std::wstring_view part = L"") const;

private:
  std::wstring path_;
};

/// Names of the files in `folder` (with its trailing backslash) that contain `part`.
std::vector<std::wstring> NamesIn(const std::wstring& folder, std::wstring_view part = L"");

/// The folder of the running test program, with a trailing backslash.
std::wstring ProgramFolder();
/// The test helper program beside the tests, and quennel.exe.
std::wstring HelperPath();
std::wstring QuennelPath();

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
/// Whether the file holds exactly `expected` (a short message if not).
::testing::AssertionResult HasBytes(const std::wstring& path, const std::string& expected);
/// Some bytes that differ with `seed`.
std::string Pattern(size_t size, unsigned seed);

/// A last-write time `days` days after 2001-01-01.
FILETIME Day(int days);
void SetModified(const std::wstring& path, const FILETIME& time);
/// Writes `bytes` to `path`, last written on Day(`day`).
void WriteDated(const std::wstring& path, const std::string& bytes, int day);

/// An hour from now by the system's clock: every leftover of ours is
/// stale by then.
FileStamp AnHourOn();

/// For copies whose progress no test looks at.
inline const CopyProgress kNoProgress = [](std::uint64_t, std::uint64_t) {};

/// This thread's visible top-level window, as a user would see it; else null.
HWND ShownWindow();

/// A child process, ended at the end of the test if still running.
class Child {
public:
  Child() = default;
  Child(Child&& other) noexcept;
  ~Child();
  /// Starts `program` with `arguments` and, when `ready` is set, waits for
  /// the child to signal it.
  static Child Start(const std::wstring& program, const std::wstring& arguments, bool ready);
  /// Waits for the end; the exit code, or nothing on timeout.
  std::optional<DWORD> Wait(std::chrono::milliseconds timeout);

private:
  HANDLE process_ = nullptr;
};

/// Holds `path` open, sharing only reading, for `milliseconds`, from a helper process.
Child HoldFile(const std::wstring& path, int milliseconds);
/// Runs the program image at `path` (a copy of the helper) for `milliseconds`.
Child RunProgram(const std::wstring& path, int milliseconds);

/// The command line a helper copy at `program` recorded, once it has.
std::optional<std::wstring> AwaitRecord(const std::wstring& program, std::chrono::milliseconds timeout);

std::string Utf8(const std::wstring& wide);

}  // namespace quennel::test
