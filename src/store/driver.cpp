#include "store/driver.hpp"

#include <fmt/format.h>

#include "store/drivers.hpp"
#include "store/url.hpp"

namespace vorel::store {

Result<std::shared_ptr<const Driver>> driver(std::string_view text) {
  // The clients take their names as C strings, which a NUL would cut short.
  if (text.find('\0') != std::string_view::npos) return std::unexpected(Error::configuration("the URL holds a NUL byte"));
  auto scheme = url::scheme(text);
  if (!scheme) {
    return std::unexpected(Error::configuration(
        "the URL does not begin with a scheme such as postgres://, mysql://, mariadb:// or sqlite:"));
  }
  if (*scheme == "postgres" || *scheme == "postgresql") return drivers::postgres(text);
  if (*scheme == "sqlite") return drivers::sqlite(text);
  if (*scheme == "mysql" || *scheme == "mariadb") {
    auto parts = url::parse(text);
    if (!parts) return std::unexpected(parts.error());
    return drivers::mariadb(*parts);
  }
  return std::unexpected(Error::configuration(fmt::format(
      "no driver for the scheme {}: the store knows postgres, postgresql, mysql, mariadb and sqlite", *scheme)));
}

}  // namespace vorel::store
