// What the store asks of a database's own client: connections that run one statement at a time
// with bound values, blocking the thread that calls them. Each database has one driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "store/error.hpp"

namespace vorel::store {

// A bound value. A missing state is a NULL of binary type.
struct Param {
  enum class Type { Null, Text, Blob };
  Type type = Type::Null;
  core::Bytes bytes;

  static Param null() { return {}; }
  static Param text(std::string_view s) {
    auto v = core::view_of(s);
    return {Type::Text, core::Bytes(v.begin(), v.end())};
  }
  static Param blob(core::ByteView b) { return {Type::Blob, core::Bytes(b.begin(), b.end())}; }
  static Param state(const std::optional<core::Bytes>& s) { return s ? blob(*s) : null(); }
};

// A column of a result row, as the database typed it.
struct Cell {
  enum class Type { Null, Blob, Text, Other };
  Type type = Type::Null;
  core::Bytes bytes;
};

using Row = std::vector<Cell>;

// A column's bytes, taken out of it; a decoding error when the database typed it otherwise.
Result<core::Bytes> bytes_of(Cell& cell, int column);

struct Outcome {
  std::uint64_t affected = 0;
  std::vector<Row> rows;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // "PostgreSQL", "MySQL" (for MariaDB servers too) or "SQLite".
  virtual std::string_view backend() const = 0;
  // Runs one statement, which commits on its own, and keeps at most `rows` of its result rows.
  virtual Result<Outcome> run(const std::string& sql, std::span<const Param> params, std::size_t rows) = 0;
  // Runs one statement once for each set of values, in order, keeping at most `rows` result rows
  // of each run, and gives their outcomes, or the first failure, after which no later run takes
  // effect. A driver may send every run before it reads the first answer.
  virtual Result<std::vector<Outcome>> run_each(const std::string& sql, std::span<const std::vector<Param>> each,
                                                std::size_t rows);
  // A cheap look, without a round trip, at whether the connection can still be used: false once
  // the server has closed it or it broke during a statement.
  virtual bool usable() = 0;
};

class Driver {
 public:
  virtual ~Driver() = default;
  virtual Result<std::unique_ptr<Connection>> connect() const = 0;
};

// The driver for the URL's scheme, with the URL parsed into its options; a configuration error
// for a URL that does not parse or a scheme without a driver. Connects to nothing.
Result<std::shared_ptr<const Driver>> driver(std::string_view url);

}  // namespace vorel::store
