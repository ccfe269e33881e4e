// The SQLite driver: each connection opens the database file of its own.
#include <fmt/format.h>
#include <sqlite3.h>

#include <unordered_map>

#include "store/drivers.hpp"

namespace vorel::store::drivers {
namespace {

constexpr char kInMemory[] =
    "the store keeps no records in an in-memory SQLite database, where each connection of its pool would have a "
    "database of its own: name a file";

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() override {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }

  std::string_view backend() const override { return "SQLite"; }
  bool usable() override { return true; }

  Result<Outcome> run(const std::string& sql, std::span<const Param> params, std::size_t rows) override {
    sqlite3_stmt* stmt = nullptr;
    if (auto it = statements_.find(sql); it != statements_.end()) {
      stmt = it->second;
    } else {
      if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                             nullptr) != SQLITE_OK) {
        return std::unexpected(failure());
      }
      statements_.emplace(sql, stmt);
    }
    // The statement is left reset with no values bound, whatever the way out.
    struct Reset {
      sqlite3_stmt* s;
      ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    } reset{stmt};
    for (std::size_t i = 0; i < params.size(); ++i) {
      int at = static_cast<int>(i + 1);
      const Param& p = params[i];
      int rc = SQLITE_OK;
      switch (p.type) {
        case Param::Type::Null:
          rc = sqlite3_bind_null(stmt, at);
          break;
        case Param::Type::Text:
          // A null pointer would bind NULL, which the NOT NULL columns refuse: an empty key is text.
          rc = sqlite3_bind_text64(stmt, at, p.bytes.empty() ? "" : reinterpret_cast<const char*>(p.bytes.data()),
                                   p.bytes.size(), SQLITE_STATIC, SQLITE_UTF8);
          break;
        case Param::Type::Blob:
          // A null pointer would bind NULL: an empty value is a zero-length blob.
          rc = p.bytes.empty() ? sqlite3_bind_zeroblob(stmt, at, 0)
                               : sqlite3_bind_blob64(stmt, at, p.bytes.data(), p.bytes.size(), SQLITE_STATIC);
          break;
      }
      if (rc != SQLITE_OK) return std::unexpected(failure());
    }
    Outcome out;
    for (;;) {
      int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return std::unexpected(failure());
      if (out.rows.size() >= rows) continue;
      Row row;
      int columns = sqlite3_column_count(stmt);
      for (int c = 0; c < columns; ++c) {
        Cell cell;
        switch (sqlite3_column_type(stmt, c)) {
          case SQLITE_NULL:
            cell.type = Cell::Type::Null;
            break;
          case SQLITE_BLOB:
          case SQLITE_TEXT: {
            bool blob = sqlite3_column_type(stmt, c) == SQLITE_BLOB;
            auto* data = static_cast<const std::uint8_t*>(blob ? sqlite3_column_blob(stmt, c)
                                                               : static_cast<const void*>(sqlite3_column_text(stmt, c)));
            int size = sqlite3_column_bytes(stmt, c);
            cell.type = blob ? Cell::Type::Blob : Cell::Type::Text;
            if (size > 0) cell.bytes.assign(data, data + size);
            break;
          }
          default:
            cell.type = Cell::Type::Other;
        }
        row.push_back(std::move(cell));
      }
      out.rows.push_back(std::move(row));
    }
    out.affected = static_cast<std::uint64_t>(sqlite3_changes64(db_));
    return out;
  }

 private:
  Error failure() const {
    int code = sqlite3_extended_errcode(db_);
    bool unique = code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE;
    return Error::database(sqlite3_errmsg(db_), unique);
  }

  sqlite3* db_;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

class SqliteDriver final : public Driver {
 public:
  SqliteDriver(std::string file, int flags) : file_(std::move(file)), flags_(flags) {}

  Result<std::unique_ptr<Connection>> connect() const override {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file_.c_str(), &db, flags_ | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close_v2(db);
      return std::unexpected(Error::connect(message));
    }
    sqlite3_extended_result_codes(db, 1);
    // Writers of one file take turns; a connection waits for its turn instead of failing at once.
    sqlite3_busy_timeout(db, 5000);
    return std::make_unique<SqliteConnection>(db);
  }

 private:
  std::string file_;
  int flags_;
};

}  // namespace

Result<std::shared_ptr<const Driver>> sqlite(std::string_view text) {
  // "sqlite://path", "sqlite:///absolute/path" and "sqlite:path" all name a file by its path.
  std::string_view rest = text.substr(text.find(':') + 1);
  if (rest.starts_with("//")) rest.remove_prefix(2);
  auto parts = url::parse(fmt::format("sqlite:{}", rest));
  if (!parts) return std::unexpected(parts.error());
  int flags = SQLITE_OPEN_READWRITE;
  for (const auto& [name, value] : parts->query) {
    if (name != "mode") {
      return std::unexpected(Error::configuration(
          fmt::format("the sqlite URL option {} is not one the store knows: it knows mode", name)));
    }
    if (value == "ro") {
      flags = SQLITE_OPEN_READONLY;
    } else if (value == "rw") {
      flags = SQLITE_OPEN_READWRITE;
    } else if (value == "rwc") {
      flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    } else if (value == "memory") {
      return std::unexpected(Error::configuration(kInMemory));
    } else {
      return std::unexpected(
          Error::configuration(fmt::format("the sqlite URL option mode is {}, not one of ro, rw and rwc", value)));
    }
  }
  if (parts->path.empty()) return std::unexpected(Error::configuration("the sqlite URL names no database file"));
  if (parts->path == ":memory:") return std::unexpected(Error::configuration(kInMemory));
  // SQLite reads a name that begins with "file:" as a URI of its own, with options of its own
  // (an in-memory database among them) that would pass by the ones above.
  if (parts->path.starts_with("file:")) {
    return std::unexpected(Error::configuration(
        "the sqlite URL's path begins with file:, which SQLite would read as a URI of its own: give the file's path"));
  }
  return std::make_shared<SqliteDriver>(parts->path, flags);
}

}  // namespace vorel::store::drivers
