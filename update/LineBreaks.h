#pragma once
/// Line breaks for a terminal or a toolkit that breaks at LF alone.

#include <string>
#include <string_view>

namespace quennel {

/// `text` with CR LF, and a CR alone, as one LF: a lone CR in a file name
/// would send a terminal's cursor back over what was written before it.
inline std::string PlainLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') out += text[i];
    else if (i + 1 >= text.size() || text[i + 1] != '\n') out += '\n';
  }
  return out;
}

}  // namespace quennel
