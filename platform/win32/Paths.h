#pragma once
/// Paths inside the Windows backend: the extended (\\?\) form that has no
/// MAX_PATH limit, where a destination really lives, and the names of
/// Quennel's own files beside it.

#include <windows.h>

#include <functional>
#include <string>

#include "update/OwnNames.h"

namespace quennel::win32 {

/// The full path in the \\?\ (or \\?\UNC\) form, which every file call
/// takes at any length. Throws PlatformError when it cannot be made.
std::wstring Extended(const std::wstring& path);

struct Split {
  std::wstring folder;  // with its trailing backslash
  std::wstring name;
};
Split SplitPath(const std::wstring& path);

/// Where `destination` really lives, in the extended form, under the one
/// name the file system holds for it: the file a link finally names, with
/// its long name, its case, its folder's own spelling and its volume, so
/// every spelling of one program meets the same files. Where nothing is
/// there yet: the folder's real path and the name the program had where a
/// copy of it set aside says so (matched without regard to case), else the
/// name as given. A dangling link
/// throws the system's "not found" error, so that nothing is ever created
/// where it points.
std::wstring ResolveTarget(const std::wstring& destination);
/// Calls `visit` with each entry `pattern` (a folder and a wildcard name)
/// finds, until it returns false.
void ForEachFound(const std::wstring& pattern, const std::function<bool(const WIN32_FIND_DATAW&)>& visit);
/// The path the system holds for the open file or folder `file`, extended;
/// empty where it cannot say.
std::wstring FinalPath(HANDLE file);

/// What Quennel keeps beside a program: a copy being staged, an old
/// version set aside while it still runs, the lock of its replacements.
enum class Kind { Staging, SetAside, Lock };

/// `NAME.quennel~<16 hex digits>.tmp` (or `.old`), NAME cut short and
/// tagged where the whole would not fit in one file name.
std::wstring QuennelName(const std::wstring& name, Kind kind, const std::wstring& random);
/// The name rule of `kind`, for the rules shared with POSIX.
const OwnFileKind& QuennelKind(Kind kind);
/// The program a set-aside file `candidate` was made for, when that is
/// `given` but for case (a missing program's name as the user spelled
/// it); else empty.
std::wstring SetAsideProgram(const std::wstring& candidate, const std::wstring& given);
/// `NAME.quennel~lock`, left in place (hidden) once made.
std::wstring LockFileName(const std::wstring& name);
/// Whether `candidate` is, exactly, one of the names QuennelName gives for `name`.
bool IsQuennelName(const std::wstring& candidate, const std::wstring& name, Kind kind);
/// The start every such name shares, for a folder search.
std::wstring QuennelNameStart(const std::wstring& name);
/// Sixteen hex digits, different on every call.
std::wstring RandomHex();

}  // namespace quennel::win32
