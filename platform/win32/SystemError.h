#pragma once
/// Failures of Win32 calls, described in the user's language when the
/// system has the text in French, else in English.

#include <string>

namespace quennel::win32 {

/// The system's description of error `code`, without its trailing line break.
std::string SystemText(unsigned long code);

/// A PlatformError with the system's text for `code`.
[[noreturn]] void ThrowSystemError(unsigned long code);
/// The same for GetLastError().
[[noreturn]] void ThrowLastError();

}  // namespace quennel::win32
