#include "platform/WindowsQuoting.h"

namespace quennel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NeedsQuotes(std::string_view arg) {
  return arg.empty() || arg.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

}  // namespace

std::string QuoteArgument(std::string_view arg) {
  if (!NeedsQuotes(arg)) return std::string(arg);
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  // The closing quote must not be escaped by trailing backslashes.
  out.append(2 * backslashes, '\\');
  out += '"';
  return out;
}

std::string JoinArguments(const std::vector<std::string>& args) {
  std::string out;
  for (size_t k = 0; k < args.size(); ++k) {
    if (k > 0) out += ' ';
    out += QuoteArgument(args[k]);
  }
  return out;
}

std::vector<std::string> SplitArguments(std::string_view text) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  while (true) {
    while (i < n && IsBlank(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(text[i]))) {
      size_t backslashes = 0;
      while (i < n && text[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && text[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
          ++i;
        } else if (quoted && i + 1 < n && text[i + 1] == '"') {
          // "" inside quotes is a literal quote (the C runtime's rule).
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.append(backslashes, '\\');
        if (i < n && (quoted || !IsBlank(text[i]))) arg += text[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string_view SkipProgramName(std::string_view commandLine) {
  size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t close = commandLine.find('"', 1);
    i = close == std::string_view::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && !IsBlank(commandLine[i])) ++i;
  }
  while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
  return commandLine.substr(i);
}

std::string TailFromArguments(const std::vector<std::string>& args) {
  std::string tail;
  for (size_t k = 0; k < args.size(); ++k) {
    if (k > 0) tail += ' ';
    if (k < 2) {
      // No tail can start with a tab and still be read: the record then
      // shows the arguments as they came.
      if (args[k].find('"') != std::string::npos) return "\t" + JoinArguments(args);
      tail += '"' + args[k] + '"';
    } else {
      tail += QuoteArgument(args[k]);
    }
  }
  return tail;
}

}  // namespace quennel
