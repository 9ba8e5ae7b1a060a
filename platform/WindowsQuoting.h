#pragma once
/// Windows command-line quoting (the CommandLineToArgvW rules), shared by
/// every backend: the POSIX one rebuilds a command tail from its argument
/// vector and splits the launch command line back with these rules, so an
/// argument survives the trip byte for byte.

#include <string>
#include <string_view>
#include <vector>

namespace quennel {

/// `arg` as one Windows command-line argument: unchanged when it needs no
/// quoting, else in double quotes with quotes and the backslashes before
/// them escaped.
std::string QuoteArgument(std::string_view arg);

/// The arguments quoted and joined by single spaces.
std::string JoinArguments(const std::vector<std::string>& args);

/// Splits argument text back into arguments (spaces and tabs separate).
std::vector<std::string> SplitArguments(std::string_view text);

/// A whole command line without its leading program name, which Windows
/// delimits by double quotes when it starts with one (no escapes), else by
/// the first space or tab. The blanks after the name are dropped.
std::string_view SkipProgramName(std::string_view commandLine);

/// The command tail for an argument vector (program name excluded):
/// `"a" "b"` then the further arguments quoted as needed. A path holding a
/// double quote cannot be written in that form; the tail then starts with
/// a tab, which the command-line reader rejects, and goes on with every
/// argument quoted, for the record.
std::string TailFromArguments(const std::vector<std::string>& args);

}  // namespace quennel
