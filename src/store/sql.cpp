#include "store/sql.hpp"

#include <blake2.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vorel::store {
namespace {

using Params = std::shared_ptr<const std::vector<Param>>;

template <class T>
Result<T> dropped() {
  return std::unexpected(Error::dropped());
}

// Runs `work` with a connection of the pool, on that connection's thread, and waits for its
// value; a failure of the pool comes back instead. Each call asks the pool anew, so a closed
// pool refuses the next statement of an operation under way.
template <class T, class Work>
asio::awaitable<Result<T>> with_connection(std::shared_ptr<Pool> pool, Work work) {
  auto start = [&pool, &work](exec::Done<Result<T>> done) {
    auto shared = std::make_shared<exec::Done<Result<T>>>(std::move(done));
    pool->submit(Pool::Job{
        [shared, work = std::move(work)](Result<Connection*> connection) mutable {
          if (!connection) return (*shared)(std::unexpected(std::move(connection.error())));
          (*shared)(work(**connection));
        },
        [shared] { return shared->wanted(); },
    });
  };
  co_return co_await exec::beside<Result<T>>(start, &dropped<T>);
}

// The lambdas below are named before they are awaited on: g++ 12 destroys a lambda temporary of
// a co_await expression twice.
asio::awaitable<Result<Outcome>> run(std::shared_ptr<Pool> pool, std::shared_ptr<const Statements> statements,
                                     const std::string Statements::*which, Params params, std::size_t rows) {
  auto work = [statements = std::move(statements), which, params = std::move(params), rows](Connection& c) {
    return c.run((*statements).*which, *params, rows);
  };
  co_return co_await with_connection<Outcome>(std::move(pool), std::move(work));
}

asio::awaitable<Result<Outcome>> run_text(std::shared_ptr<Pool> pool, std::string_view text) {
  auto work = [text = std::string(text)](Connection& c) { return c.run(text, {}, 0); };
  co_return co_await with_connection<Outcome>(std::move(pool), std::move(work));
}

asio::awaitable<void> shut(std::shared_ptr<Pool> pool) {
  auto start = [&pool](exec::Done<Result<void>> done) {
    auto shared = std::make_shared<exec::Done<Result<void>>>(std::move(done));
    pool->close([shared] { (*shared)(Result<void>()); });
  };
  co_await exec::beside<Result<void>>(start, &dropped<void>);
}

Params params(std::initializer_list<Param> list) { return std::make_shared<const std::vector<Param>>(list); }

constexpr std::string_view kPostgresTable =
    "CREATE TABLE IF NOT EXISTS vorel_records (\n"
    "    id BYTEA PRIMARY KEY, actor TEXT NOT NULL, actor_key TEXT NOT NULL, version BYTEA NOT NULL, state BYTEA\n"
    ")";
constexpr std::string_view kMysqlTable =
    "CREATE TABLE IF NOT EXISTS vorel_records (\n"
    "    id BINARY(32) PRIMARY KEY, actor LONGTEXT NOT NULL, actor_key LONGTEXT NOT NULL, version BLOB NOT NULL,\n"
    "    state LONGBLOB\n"
    ") CHARACTER SET utf8mb4";
constexpr std::string_view kSqliteTable =
    "CREATE TABLE IF NOT EXISTS vorel_records (\n"
    "    id BLOB PRIMARY KEY, actor TEXT NOT NULL, actor_key TEXT NOT NULL, version BLOB NOT NULL, state BLOB\n"
    ") WITHOUT ROWID";

std::string as_written(std::string_view text) { return std::string(text); }

}  // namespace

std::array<std::uint8_t, 32> id(std::string_view actor, std::string_view key) {
  core::Bytes input;
  input.reserve(8 + actor.size() + key.size());
  std::uint64_t length = actor.size();
  for (int shift = 56; shift >= 0; shift -= 8) input.push_back(static_cast<std::uint8_t>(length >> shift));
  input.insert(input.end(), actor.begin(), actor.end());
  input.insert(input.end(), key.begin(), key.end());
  std::array<std::uint8_t, 32> out{};
  if (blake2b(out.data(), input.data(), nullptr, out.size(), input.size(), 0) != 0) {
    std::fputs("vorel: BLAKE2b refused a 32-byte digest\n", stderr);
    std::abort();
  }
  return out;
}

std::string numbered(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  unsigned n = 0;
  for (char c : text) {
    if (c == '?') {
      out += fmt::format("${}", ++n);
    } else {
      out += c;
    }
  }
  return out;
}

Statements Statements::placed(std::string (*rewrite)(std::string_view)) {
  return {
      rewrite("SELECT version, state FROM vorel_records WHERE id = ?"),
      rewrite("UPDATE vorel_records SET version = ?, state = ? WHERE id = ? AND version < ?"),
      rewrite("INSERT INTO vorel_records (id, actor, actor_key, version, state) VALUES (?, ?, ?, ?, ?)"),
      rewrite("SELECT version FROM vorel_records WHERE id = ?"),
      rewrite("DELETE FROM vorel_records WHERE id = ? AND version <= ?"),
  };
}

asio::awaitable<Result<std::shared_ptr<Sql>>> Sql::open(std::string url) {
  auto made = driver(url);
  if (!made) co_return std::unexpected(made.error());
  auto pool = std::make_shared<Pool>(std::move(*made));
  // One connection is opened now, so that an unreachable database fails the open; it goes back
  // into the pool for the calls that follow.
  auto first = co_await with_connection<bool>(pool, [](Connection&) -> Result<bool> { return true; });
  if (!first) {
    co_await shut(pool);
    co_return std::unexpected(first.error());
  }
  auto sql = co_await over(pool);
  if (!sql) co_await shut(pool);
  co_return sql;
}

asio::awaitable<Result<std::shared_ptr<Sql>>> Sql::over(std::shared_ptr<Pool> pool) {
  auto backend = co_await with_connection<std::string>(
      pool, [](Connection& c) -> Result<std::string> { return std::string(c.backend()); });
  if (!backend) co_return std::unexpected(backend.error());
  std::string_view table;
  std::string (*rewrite)(std::string_view) = as_written;
  if (*backend == "PostgreSQL") {
    table = kPostgresTable;
    rewrite = numbered;
  } else if (*backend == "MySQL") {
    table = kMysqlTable;
  } else if (*backend == "SQLite") {
    table = kSqliteTable;
  } else {
    co_return std::unexpected(
        Error::configuration(fmt::format("{} is not a database vorel keeps records in", *backend)));
  }
  // A user that may not create tables can still use a table that is there and readable.
  auto created = co_await run_text(pool, table);
  if (!created) {
    auto probe = co_await run_text(pool, kProbe);
    if (!probe) co_return std::unexpected(created.error());
  }
  // WAL lets readers go on while a writer writes; a database that refuses it works without.
  if (*backend == "SQLite") co_await run_text(pool, kWal);
  // SQLite takes its write lock when the transaction begins, not at its first write, which
  // another connection's lock could then refuse halfway.
  std::string begin = *backend == "SQLite" ? "BEGIN IMMEDIATE" : "BEGIN";
  co_return std::make_shared<Sql>(std::move(pool), std::make_shared<const Statements>(Statements::placed(rewrite)),
                                  std::move(begin));
}

asio::awaitable<Result<std::optional<Record>>> Sql::load(std::string actor, std::string key) {
  auto self = shared_from_this();
  auto bound = params({Param::blob(id(actor, key))});
  auto answer = co_await run(pool_, statements_, &Statements::load, std::move(bound), 1);
  if (!answer) co_return std::unexpected(answer.error());
  if (answer->rows.empty()) co_return std::nullopt;
  Row& found = answer->rows.front();
  if (found.size() < 2) co_return std::unexpected(Error::decode("the row has fewer than two columns"));
  auto version = bytes_of(found[0], 0);
  if (!version) co_return std::unexpected(version.error());
  Record record{std::move(*version), std::nullopt};
  if (found[1].type != Cell::Type::Null) {
    auto state = bytes_of(found[1], 1);
    if (!state) co_return std::unexpected(state.error());
    record.state = std::move(*state);
  }
  co_return record;
}

// The writes are named before they are awaited on: g++ 12 destroys a temporary of a co_await
// expression twice.
asio::awaitable<Result<void>> Sql::save(std::string actor, std::string key, core::Bytes version,
                                        std::optional<core::Bytes> state) {
  Write w{id(actor, key), std::move(actor), std::move(key), std::move(version), false, std::move(state), {}, {}};
  co_return co_await write(std::move(w));
}

asio::awaitable<Result<void>> Sql::forget(std::string actor, std::string key, core::Bytes version) {
  Write w{id(actor, key), std::move(actor), std::move(key), std::move(version), true, std::nullopt, {}, {}};
  co_return co_await write(std::move(w));
}

void Sql::save(std::string actor, std::string key, core::Bytes version, std::optional<core::Bytes> state,
               Done done) {
  auto row = id(actor, key);
  writer_->add(
      Write{row, std::move(actor), std::move(key), std::move(version), false, std::move(state), std::move(done), {}});
}

void Sql::forget(std::string actor, std::string key, core::Bytes version, Done done) {
  auto row = id(actor, key);
  writer_->add(Write{row, std::move(actor), std::move(key), std::move(version), true, std::nullopt, std::move(done), {}});
}

asio::awaitable<Result<void>> Sql::write(Write w) {
  auto self = shared_from_this();
  auto start = [this, &w](exec::Done<Result<void>> done) {
    auto shared = std::make_shared<exec::Done<Result<void>>>(std::move(done));
    w.done = [shared](Result<void> r) { (*shared)(std::move(r)); };
    w.wanted = [shared] { return shared->wanted(); };
    writer_->add(std::move(w));
  };
  co_return co_await exec::beside<Result<void>>(start, &dropped<void>);
}

asio::awaitable<void> Sql::close() {
  auto self = shared_from_this();
  co_await shut(pool_);
}

}  // namespace vorel::store
