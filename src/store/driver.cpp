#include "store/driver.hpp"

#include <fmt/format.h>

#include "store/drivers.hpp"
#include "store/url.hpp"

namespace vorel::store {
namespace {

const char* type_name(Cell::Type type) {
  switch (type) {
    case Cell::Type::Null:
      return "NULL";
    case Cell::Type::Text:
      return "text";
    case Cell::Type::Blob:
      return "bytes";
    case Cell::Type::Other:
      break;
  }
  return "a value that is neither bytes nor text";
}

}  // namespace

Result<core::Bytes> bytes_of(Cell& cell, int column) {
  if (cell.type != Cell::Type::Blob) {
    return std::unexpected(Error::decode(fmt::format("column {} holds {}, not bytes", column, type_name(cell.type))));
  }
  return std::move(cell.bytes);
}

Result<std::vector<Outcome>> Connection::run_each(const std::string& sql, std::span<const std::vector<Param>> each,
                                                  std::size_t rows) {
  std::vector<Outcome> out;
  out.reserve(each.size());
  for (const auto& params : each) {
    auto one = run(sql, params, rows);
    if (!one) return std::unexpected(std::move(one.error()));
    out.push_back(std::move(*one));
  }
  return out;
}

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
