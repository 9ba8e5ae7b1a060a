/// Any argument vector (the input split on NUL bytes, which no argument can
/// hold) survives quoting: joined and split back; and the command tail
/// rebuilt from it reads back as the same two paths and arguments, or, where
/// a path holds a double quote, not at all.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WindowsQuoting.h"
#include "update/F_Main.h"

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

  if (args.size() < 2) return 0;
  const auto fields = quennel::ParseCommandLine(quennel::TailFromArguments(args));
  const bool writable = args[0].find('"') == std::string::npos && args[1].find('"') == std::string::npos;
  Require(fields.has_value() == writable);
  if (!fields) return 0;
  Require(fields->SourcePath == args[0] && fields->DestPath == args[1]);
  Require(quennel::SplitArguments(fields->ExtraArgs) == std::vector<std::string>(args.begin() + 2, args.end()));
  return 0;
}
