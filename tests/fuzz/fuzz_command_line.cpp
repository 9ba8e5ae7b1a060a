/// Any bytes as a command tail: either no parse, or three fields that the
/// grammar could have produced and that read back the same.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/F_Main.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view tail(reinterpret_cast<const char*>(data), size);
  const auto fields = quennel::ParseCommandLine(tail);
  if (!fields) return 0;
  const std::string& source = fields->SourcePath;
  const std::string& dest = fields->DestPath;
  const std::string& extra = fields->ExtraArgs;

  Require(source.find('"') == std::string::npos);
  Require(dest.find('"') == std::string::npos);
  Require(extra.empty() || (extra.front() != ' ' && extra.back() != ' '));

  // The tail is `"S"`, spaces, `"D"`, spaces, E, with spaces around it all.
  std::string_view rest = TrimSpaces(tail);
  const std::string head = '"' + source + '"';
  Require(rest.substr(0, head.size()) == head);
  rest = TrimSpaces(rest.substr(head.size()));
  const std::string second = '"' + dest + '"';
  Require(rest.substr(0, second.size()) == second);
  Require(TrimSpaces(rest.substr(second.size())) == extra);

  // Written back in the canonical form, it reads the same.
  const auto again = quennel::ParseCommandLine(head + " " + second + " " + extra);
  Require(again.has_value());
  Require(again->SourcePath == source && again->DestPath == dest && again->ExtraArgs == extra);
  return 0;
}
