// The one writer of a store: the saves and forgets that wait at one moment go to the database
// together, in one transaction on one connection, while the next ones gather behind them. A
// commit costs the database one flush to disk for the whole group instead of one per write, and
// writers of one SQLite file no longer queue for its single write lock.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "store/driver.hpp"
#include "store/pool.hpp"

namespace vorel::store {

struct Statements;

// One save (of a state, or of none) or forget of a row.
struct Write {
  std::array<std::uint8_t, 32> row{};
  std::string actor, key;
  core::Bytes version;
  bool forget = false;
  std::optional<core::Bytes> state;
  // Called once, on the connection's thread: with success only after the write's commit.
  std::move_only_function<void(Result<void>)> done;
  // Whether its caller still waits: a write nobody waits for any more is not made.
  std::move_only_function<bool()> wanted;
};

class Writer : public std::enable_shared_from_this<Writer> {
 public:
  // `begin` is the database's text that opens a transaction.
  Writer(std::shared_ptr<Pool> pool, std::shared_ptr<const Statements> statements, std::string begin);

  void add(Write write);

  // The most writes one transaction takes: a bound on what a failure sends back to be made one
  // by one, and on the answers a pipeline leaves unread.
  static constexpr std::size_t kMost = 512;
  // The longest a group waits for the writers of the last one to come back.
  static constexpr std::chrono::microseconds kLinger{5000};

 private:
  using Clock = std::chrono::steady_clock;

  void submit();
  void run(Result<Connection*> connection);
  void linger();
  std::vector<Write> take();
  void commit(Connection& connection, std::vector<Write>& batch) const;

  std::shared_ptr<Pool> pool_;
  std::shared_ptr<const Statements> statements_;
  std::string begin_;

  std::mutex mutex_;
  std::condition_variable gathered_;
  std::deque<Write> waiting_;
  // A group is with the pool: the writes that come meanwhile wait for the next one.
  bool busy_ = false;
  // The size of the last group and how long it took: its writers, answered together, tend to
  // come back together, and a group that leaves before they do costs them a commit of their own.
  std::size_t expected_ = 0;
  Clock::duration took_{};
  bool lingering_ = false;
};

}  // namespace vorel::store
