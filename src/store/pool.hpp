// The pool of connections of one store. Each connection has a thread of its own, on which its
// blocking client runs one statement at a time, so calls run side by side up to the pool's size
// and only wait for one another beyond it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "store/driver.hpp"

namespace vorel::store {

struct PoolSettings {
  std::size_t most = 10;
  // How long a call waits for a connection, connecting included.
  std::chrono::steady_clock::duration acquire = std::chrono::seconds(30);
  // An idle connection is closed after this long, and every connection after its lifetime.
  std::chrono::steady_clock::duration idle = std::chrono::minutes(10);
  std::chrono::steady_clock::duration lifetime = std::chrono::minutes(30);
};

class Pool {
 public:
  // A piece of work for one connection: `run` is called once, on the connection's thread with
  // the connection, or with the pool's failure instead (closed, timed out, cannot connect).
  // `wanted`, when given, tells whether its caller still waits: work nobody waits for any more
  // is not run.
  struct Job {
    std::move_only_function<void(Result<Connection*>)> run;
    std::move_only_function<bool()> wanted;
  };

  explicit Pool(std::shared_ptr<const Driver> driver, PoolSettings settings = {});
  // Dropping the pool fails the jobs still waiting for a connection with the closed-pool error
  // and closes each connection as it comes back.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Callers get connections in the order in which they asked.
  void submit(Job job);

  // Marks the pool closed: jobs waiting for a connection, and jobs submitted from now on, fail
  // with the closed-pool error. `closed` is called, on whichever thread gets there, once every
  // connection in use has come back and all connections are closed.
  void close(std::move_only_function<void()> closed);

  // Connections open or being opened, for tests.
  std::size_t size() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace vorel::store
