#include "store/url.hpp"

#include <fmt/format.h>

#include <cctype>
#include <charconv>

namespace vorel::store::url {
namespace {

// The texts of a refused URL never repeat it: it may hold a password.
Result<std::string> decoded(std::string_view text, std::string_view what) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) {
      return std::unexpected(Error::configuration(fmt::format("the {} of the URL ends inside a %-escape", what)));
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
    if (ec != std::errc() || end != text.data() + i + 3) {
      return std::unexpected(Error::configuration(fmt::format("the {} of the URL has a %-escape that is not two hexadecimal digits", what)));
    }
    // A NUL ends a name at the C interfaces of every client: what follows it would be dropped
    // without a word.
    if (value == 0) {
      return std::unexpected(Error::configuration(fmt::format("the {} of the URL has a %-escape of a NUL byte", what)));
    }
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<std::string> scheme(std::string_view text) {
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string s;
  for (std::size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool ok = std::isalpha(c) || (i > 0 && (std::isdigit(c) || c == '+' || c == '-' || c == '.'));
    if (!ok) return std::nullopt;
    s += static_cast<char>(std::tolower(c));
  }
  return s;
}

Result<Parts> parse(std::string_view text) {
  Parts parts;
  auto name = scheme(text);
  if (!name) return std::unexpected(Error::configuration("the URL does not begin with a scheme"));
  parts.scheme = *name;
  std::string_view rest = text.substr(name->size() + 1);
  std::string_view query;
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  if (rest.starts_with("//")) {
    parts.authority = true;
    rest.remove_prefix(2);
    auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      std::string_view info = authority.substr(0, at);
      authority = authority.substr(at + 1);
      auto colon = info.find(':');
      auto user = decoded(info.substr(0, colon), "user");
      if (!user) return std::unexpected(user.error());
      parts.user = *user;
      if (colon != std::string_view::npos) {
        auto password = decoded(info.substr(colon + 1), "password");
        if (!password) return std::unexpected(password.error());
        parts.password = *password;
      }
    }
    std::string_view port;
    if (authority.starts_with('[')) {
      auto close = authority.find(']');
      if (close == std::string_view::npos) {
        return std::unexpected(Error::configuration("the host of the URL opens a '[' that it does not close"));
      }
      parts.host = std::string(authority.substr(1, close - 1));
      std::string_view after = authority.substr(close + 1);
      if (!after.empty() && !after.starts_with(':')) {
        return std::unexpected(Error::configuration("the host of the URL has text after its ']'"));
      }
      if (!after.empty()) port = after.substr(1);
    } else {
      auto colon = authority.rfind(':');
      auto host = decoded(authority.substr(0, colon), "host");
      if (!host) return std::unexpected(host.error());
      parts.host = *host;
      if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (!port.empty()) {
      unsigned value = 0;
      auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
      if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
        return std::unexpected(Error::configuration("the port of the URL is not a number from 1 to 65535"));
      }
      parts.port = value;
    }
  }
  auto path = decoded(rest, "path");
  if (!path) return std::unexpected(path.error());
  parts.path = *path;
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    auto eq = pair.find('=');
    auto key = decoded(pair.substr(0, eq), "query");
    if (!key) return std::unexpected(key.error());
    auto value = decoded(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), "query");
    if (!value) return std::unexpected(value.error());
    parts.query.emplace_back(std::move(*key), std::move(*value));
  }
  return parts;
}

}  // namespace vorel::store::url
