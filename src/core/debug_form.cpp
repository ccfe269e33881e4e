#include "core/debug_form.hpp"

#include <fmt/format.h>

namespace vorel::core {
namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace

void debug_char(std::string& out, char32_t c, bool prints) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (c < 0x80) prints = c >= 0x20 && c < 0x7f;
  // A surrogate has no UTF-8 form: it never prints.
  if (prints && !(c >= 0xd800 && c < 0xe000) && c < 0x110000) {
    append_utf8(out, c);
  } else {
    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
  }
}

std::string debug_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // Bytes beyond ASCII are parts of UTF-8 sequences, copied as they are.
    if (byte >= 0x80) {
      out.push_back(c);
    } else {
      debug_char(out, byte, true);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace vorel::core
