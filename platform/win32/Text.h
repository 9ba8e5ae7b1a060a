#pragma once
/// Text at the system boundary: the driver speaks UTF-8, the W APIs UTF-16.
/// Unpaired surrogates, which Windows allows in names and command lines,
/// travel as their three-byte WTF-8 form so that they come back unchanged.

#include <string>
#include <string_view>

namespace quennel::win32 {

std::string Utf8(std::wstring_view wide);
/// A byte that starts no well-formed character becomes U+FFFD.
std::wstring Wide(std::string_view utf8);

/// The command tail of a whole command line: the program's name skipped by
/// the Windows rules, the rest as given.
std::string CommandTailOf(std::wstring_view commandLine);

}  // namespace quennel::win32
