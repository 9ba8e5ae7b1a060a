#pragma once
/// UTF-8, decoded in one place for the record, the names, the window module
/// and Windows' UTF-16 boundary.

#include <cstddef>
#include <string>
#include <string_view>

namespace quennel::utf8 {

/// A byte that continues a sequence rather than starting one.
inline bool Continues(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

/// One character at the start of a text.
struct Decoded {
  char32_t point = 0;
  std::size_t length = 0;  // 0: no well-formed character starts there
};

/// The well-formed character at the start of `text` (which is not empty).
/// Overlong forms and points past U+10FFFF are never characters; an
/// encoded surrogate (WTF-8, how Windows' unpaired halves travel) is one
/// only with `surrogates`.
inline Decoded Decode(std::string_view text, bool surrogates = false) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {lead, 1};
  // 80-C1 continue a sequence or start an overlong one; F5-FF start none.
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || text.size() < length) return {};
  char32_t point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if (!Continues(text[i])) return {};
    point = (point << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  }
  if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF))) return {};
  if (!surrogates && point >= 0xD800 && point <= 0xDFFF) return {};
  return {point, length};
}

/// Appends `point` in UTF-8 (a surrogate in its three-byte WTF-8 form).
inline void Append(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

}  // namespace quennel::utf8
