// The store core: the records of durable keys, one row each of the table vorel_records, kept
// through a pool of connections to PostgreSQL, MySQL, MariaDB or SQLite. Its operations are
// coroutines that run on a Threads; the blocking database calls run on the connections' own
// threads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.hpp"
#include "exec/threads_asio.hpp"
#include "store/driver.hpp"
#include "store/pool.hpp"
#include "store/writer.hpp"

namespace vorel::store {

// The row of (actor, key): BLAKE2b-256 over the actor's length (unsigned 64-bit big-endian), the
// actor and the key, so that neither collation nor a key's length nor a reserved word decides it.
std::array<std::uint8_t, 32> id(std::string_view actor, std::string_view key);

// The text with its n-th "?" replaced by "$n", counting from 1.
std::string numbered(std::string_view text);

struct Statements {
  std::string load, update, insert, version, remove;

  // The five texts as written, through the placeholder style of the database.
  static Statements placed(std::string (*rewrite)(std::string_view));
};

inline constexpr std::string_view kProbe = "SELECT id FROM vorel_records WHERE 1 = 0";
inline constexpr std::string_view kWal = "PRAGMA journal_mode = WAL";

struct Record {
  core::Bytes version;
  std::optional<core::Bytes> state;
  friend bool operator==(const Record&, const Record&) = default;
};

class Sql : public std::enable_shared_from_this<Sql> {
 public:
  // Connects and prepares the table. A URL that does not parse, a scheme without a driver and a
  // backend the store keeps no records in are configuration errors.
  static asio::awaitable<Result<std::shared_ptr<Sql>>> open(std::string url);
  // The second half of open, over a pool that is already connected.
  static asio::awaitable<Result<std::shared_ptr<Sql>>> over(std::shared_ptr<Pool> pool);

  asio::awaitable<Result<std::optional<Record>>> load(std::string actor, std::string key);
  // Keeps (version, state) unless the kept record's version is equal or greater, compared as bytes.
  // Saves and forgets waiting at one moment commit in one transaction; each is answered after it.
  asio::awaitable<Result<void>> save(std::string actor, std::string key, core::Bytes version,
                                     std::optional<core::Bytes> state);
  // Deletes the record unless its version is greater than `version`.
  asio::awaitable<Result<void>> forget(std::string actor, std::string key, core::Bytes version);

  // The same two without a coroutine, for callers that need no thread of the store to wait on
  // them: `done` is called once, on a connection's thread (or on the caller's, when the pool is
  // closed), after the write's commit or with its failure.
  using Done = std::move_only_function<void(Result<void>)>;
  void save(std::string actor, std::string key, core::Bytes version, std::optional<core::Bytes> state, Done done);
  void forget(std::string actor, std::string key, core::Bytes version, Done done);
  // Closes the pool: calls from now on fail with the closed-pool error; returns once the
  // connections in use have come back and every connection is closed.
  asio::awaitable<void> close();

  const Statements& statements() const { return *statements_; }

  // `begin` is the database's text that opens a transaction.
  Sql(std::shared_ptr<Pool> pool, std::shared_ptr<const Statements> statements, std::string begin)
      : pool_(pool), statements_(statements), writer_(std::make_shared<Writer>(pool, statements, std::move(begin))) {}

 private:
  asio::awaitable<Result<void>> write(Write w);

  std::shared_ptr<Pool> pool_;
  std::shared_ptr<const Statements> statements_;
  // Saves and forgets go through it, so that those waiting at one moment commit together.
  std::shared_ptr<Writer> writer_;
};

}  // namespace vorel::store
