#include "update/F_Main.h"

namespace quennel {
namespace {

/// Only the space character is trimmed; a tab is part of the text.
std::string_view TrimSpaces(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

/// Reads `"text"` at the start of `s`: the text, and `s` moves past the
/// closing quote. Nothing when `s` does not start with a quote or the
/// quote is never closed.
std::optional<std::string> TakeQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  s.remove_prefix(1);
  const size_t close = s.find('"');
  if (close == std::string_view::npos) return std::nullopt;
  std::string text(s.substr(0, close));
  s = TrimSpaces(s.substr(close + 1));
  return text;
}

}  // namespace

std::optional<CommandLineFields> ParseCommandLine(std::string_view tail) {
  std::string_view s = TrimSpaces(tail);
  CommandLineFields fields;
  auto source = TakeQuoted(s);
  if (!source) return std::nullopt;
  auto dest = TakeQuoted(s);
  if (!dest) return std::nullopt;
  fields.SourcePath = std::move(*source);
  fields.DestPath = std::move(*dest);
  fields.ExtraArgs = std::string(s);
  return fields;
}

void F_Main::CommandLineStage() {
  auto fields = ParseCommandLine(platform_.process.CommandTail());
  if (!fields) UsageExit();
  SourcePath = std::move(fields->SourcePath);
  DestPath = std::move(fields->DestPath);
  ExtraArgs = std::move(fields->ExtraArgs);
}

}  // namespace quennel
