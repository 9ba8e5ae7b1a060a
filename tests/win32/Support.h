#pragma once
/// Files, folders, child processes and one installed program for the
/// Windows backend's tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/win32/Win32Files.h"

namespace quennel::test {

using namespace std::chrono_literals;

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

private:
  std::wstring path_;
};

/// Names of the files in `folder` (with its trailing backslash) that contain `part`.
std::vector<std::wstring> NamesIn(const std::wstring& folder, std::wstring_view part = L"");

/// The folder of the running test program (with a trailing backslash), the
/// test helper program beside the tests, and quennel.exe.
std::wstring ProgramFolder();
std::wstring HelperPath();
std::wstring QuennelPath();

/// Writes `bytes` to `path`, last written `day` days after 2001-01-01 if given.
void WriteBytes(const std::wstring& path, const std::string& bytes, std::optional<int> day = {});
std::string ReadBytes(const std::wstring& path);
/// Whether the file holds exactly `expected` (a short message if not).
::testing::AssertionResult HasBytes(const std::wstring& path, const std::string& expected);
bool Exists(const std::wstring& path);
/// The access list of `path`, as text; and gives it the protected one `sddl`.
std::wstring Rules(const std::wstring& path);
void SetRules(const std::wstring& path, const wchar_t* sddl);
std::string Utf8(const std::wstring& wide);

/// The kind of failure `step` raised, the most derived one ("running",
/// "busy", "missing", "exists", "failed"; or "none"), then its text.
template <class Step>
std::string Raised(Step&& step) {
  try {
    step();
    return "none";
  } catch (const RunningError& e) { return "running: " + std::string(e.what());
  } catch (const BusyError& e) { return "busy: " + std::string(e.what());
  } catch (const MissingError& e) { return "missing: " + std::string(e.what());
  } catch (const ExistsError& e) { return "exists: " + std::string(e.what());
  } catch (const PlatformError& e) { return "failed: " + std::string(e.what());
  }
}
/// Whether `raised` is a failure of `kind`.
inline bool Is(const std::string& raised, std::string_view kind) {
  return raised.starts_with(kind) && raised.substr(kind.size()).starts_with(": ");
}

/// A child process, ended at the end of the test if still running.
class Child {
public:
  Child() = default;
  Child(Child&& other) noexcept : process_(std::exchange(other.process_, nullptr)) {}
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

/// The command lines a helper copy at `program` was started with, one a start.
std::vector<std::wstring> Starts(const std::wstring& program);
/// Waits until `count` starts of `program` are recorded; the starts then.
std::vector<std::wstring> AwaitStarts(const std::wstring& program, size_t count);
/// Whether a start carries the marker: no new version went in.
inline bool Marked(const std::wstring& start) { return start.ends_with(L" (~!~)"); }

/// A copy of the helper installed (day 100) and a newer version of it
/// waiting in another folder (day 200): what every whole run starts from.
class InstallTest : public ::testing::Test {
protected:
  void SetUp() override;
  /// quennel.exe started on the new version and `dest`, with `arguments`.
  Child Start(const std::wstring& dest, const std::wstring& arguments = L"vite") const;
  /// The driver run in this process on the real backend, from the command
  /// tail `tail`, with `busyLimit`: its exit status; its boxes in `boxes`.
  int RunHere(const std::string& tail, std::chrono::milliseconds busyLimit) { return RunHere(files, tail, busyLimit); }
  /// The same on `with` for the files.
  int RunHere(Files& with, const std::string& tail, std::chrono::milliseconds busyLimit);
  /// `path` in double quotes, in UTF-8, as a command tail holds it.
  static std::string Quoted(const std::wstring& path) { return '"' + Utf8(path) + '"'; }

  TempFolder folder;
  const std::wstring source = folder.path() + L"nouvelle version \u00fc\\Programme \u4e2d.exe";
  const std::wstring installed = folder.path() + L"Programme \u00e9 \u00fc \u4e2d.exe";
  const std::string oldBits = ReadBytes(HelperPath());
  std::string newBits = oldBits + "v2";
  win32::Win32Files files;
  std::vector<std::string> boxes;
};

}  // namespace quennel::test
