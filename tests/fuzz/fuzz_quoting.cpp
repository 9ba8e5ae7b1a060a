/// Any argument vector (the input split on NUL bytes, which no argument can
/// hold) survives quoting: joined and split back, and behind a quoted
/// program name in a launch command line.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WindowsQuoting.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

/// Empty input is no argument at all; else one argument per NUL-separated part.
std::vector<std::string> Decode(std::string_view bytes) {
  std::vector<std::string> parts;
  if (bytes.empty()) return parts;
  while (true) {
    const size_t nul = bytes.find('\0');
    parts.emplace_back(bytes.substr(0, nul));
    if (nul == std::string_view::npos) return parts;
    bytes.remove_prefix(nul + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args =
      Decode(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string joined = quennel::JoinArguments(args);
  Require(quennel::SplitArguments(joined) == args);

  // The first part, its quotes dropped, stands for the program's path.
  if (args.empty()) return 0;
  std::string program = args.front();
  std::erase(program, '"');
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  const quennel::LaunchCommand command =
      quennel::SplitLaunchCommand("\"" + program + "\" " + quennel::JoinArguments(rest));
  Require(command.program == program);
  Require(command.args == rest);
  return 0;
}
