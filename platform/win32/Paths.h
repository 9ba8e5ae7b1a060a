#pragma once
/// Paths inside the Windows backend: the extended (\\?\) form that has no
/// MAX_PATH limit, where a destination really lives, and the names of
/// Quennel's own files beside it.

#include <string>

namespace quennel::win32 {

/// The full path in the \\?\ (or \\?\UNC\) form, which every file call
/// takes at any length. Throws PlatformError when it cannot be made.
std::wstring Extended(const std::wstring& path);

struct Split {
  std::wstring folder;  // with its trailing backslash
  std::wstring name;
};
Split SplitPath(const std::wstring& path);

/// Where `destination` really lives, in the extended form: the file a
/// symbolic link finally names, else the path itself (also when nothing is
/// there yet). A dangling link throws the system's "not found" error, so
/// that nothing is ever created where it points.
std::wstring ResolveTarget(const std::wstring& destination);

/// What Quennel keeps beside a program: a copy being staged, or an old
/// version set aside while it still runs.
enum class Kind { Staging, SetAside };

/// `NAME.quennel~<16 hex digits>.tmp` (or `.old`), NAME cut short and
/// tagged where the whole would not fit in one file name.
std::wstring QuennelName(const std::wstring& name, Kind kind, const std::wstring& random);
/// Whether `candidate` is, exactly, one of the names QuennelName gives for `name`.
bool IsQuennelName(const std::wstring& candidate, const std::wstring& name, Kind kind);
/// The start every such name shares, for a folder search.
std::wstring QuennelNameStart(const std::wstring& name);
/// Sixteen hex digits, different on every call.
std::wstring RandomHex();

}  // namespace quennel::win32
