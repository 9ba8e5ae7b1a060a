#include "platform/fltk/FltkInternal.h"

#include <FL/fl_draw.H>

#include <vector>

namespace quennel::fltk {
namespace {

bool Fits(std::string_view s, int width) {
  return fl_width(s.data(), static_cast<int>(s.size())) <= width;
}

bool ContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

/// Length of the longest head of `word` that fits, preferring to end just
/// after a path separator; at least one whole character.
size_t BreakPoint(std::string_view word, int width) {
  size_t fit = 0;
  for (size_t end = 1; end <= word.size(); ++end) {
    if (end < word.size() && ContinuationByte(word[end])) continue;
    if (!Fits(word.substr(0, end), width)) break;
    fit = end;
  }
  if (fit == 0) {
    fit = 1;
    while (fit < word.size() && ContinuationByte(word[fit])) ++fit;
    return fit;
  }
  for (size_t i = fit; i > 1; --i) {
    const char c = word[i - 1];
    if (c == '/' || c == '\\') return i;
  }
  return fit;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

std::string WrapText(std::string_view text, int font, int size, int width) {
  fl_font(font, size);
  std::vector<std::string> lines;
  for (std::string_view paragraph : Split(text, '\n')) {
    std::string line;
    bool first = true;
    // Every space stays but the one a line breaks at: a path with two
    // spaces in a row shows as it is.
    for (std::string_view word : Split(paragraph, ' ')) {
      std::string candidate = first ? std::string(word) : line + ' ' + std::string(word);
      first = false;
      if (Fits(candidate, width)) {
        line = std::move(candidate);
        continue;
      }
      if (!line.empty()) lines.push_back(std::move(line));
      while (!Fits(word, width)) {
        const size_t cut = BreakPoint(word, width);
        if (cut >= word.size()) break;
        lines.emplace_back(word.substr(0, cut));
        word.remove_prefix(cut);
      }
      line = std::string(word);
    }
    lines.push_back(std::move(line));
  }
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

std::string EscapeLabel(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '@') out += '@';
  }
  return out;
}

}  // namespace quennel::fltk
